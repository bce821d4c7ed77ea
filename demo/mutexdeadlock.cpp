// The bundled demo's third program: the same deadlock as deadlock.exe, the
// way C++ programs of today write it. Two threads lock two mutexes of the
// platform's C++ run-time (std::mutex: its _Mtx_lock family, here from the
// stand-in msvcp140.dll beside the program, which has that run-time's object
// layout and entry names) in opposite order, and neither ever goes on.
//
// It prints "pid <pid>", then "deadlocked" once both threads wait, and ends
// when its standard input closes.
#include <windows.h>

#include <cstdio>

#include "StandInMutex.h"

namespace {

// A mutex as std::mutex keeps it: the run-time's object, locked and
// unlocked through the run-time.
class Mutex {
 public:
  Mutex() { _Mtx_init_in_situ(&object_, kTry); }
  void lock() { _Mtx_lock(&object_); }
  void unlock() { _Mtx_unlock(&object_); }

 private:
  static const int kTry = 2;  // std::mutex's type
  _Mtx_internal_imp_t object_;
};

Mutex g_inventory;
Mutex g_orders;
volatile LONG g_holding = 0;

__attribute__((noinline)) void Lock(Mutex* first, Mutex* second) {
  first->lock();
  InterlockedIncrement(&g_holding);
  while (g_holding < 2) Sleep(1);
  second->lock();
  second->unlock();
  first->unlock();
}

__attribute__((noinline)) void ShipOrder() { Lock(&g_orders, &g_inventory); }

__attribute__((noinline)) void CountStock() { Lock(&g_inventory, &g_orders); }

DWORD WINAPI Shipper(LPVOID) {
  ShipOrder();
  return 0;
}

DWORD WINAPI Counter(LPVOID) {
  CountStock();
  return 0;
}

}  // namespace

int main() {
  HANDLE threads[] = {CreateThread(NULL, 0, Shipper, NULL, 0, NULL), CreateThread(NULL, 0, Counter, NULL, 0, NULL)};
  if (threads[0] == NULL || threads[1] == NULL) return 2;
  printf("pid %lu\n", GetCurrentProcessId());
  while (g_holding < 2) Sleep(1);
  Sleep(100);
  printf("deadlocked\n");
  fflush(stdout);
  char line[16];
  while (fgets(line, sizeof(line), stdin) != NULL) {
  }
  return 0;
}
