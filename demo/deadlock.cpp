// The bundled demo: a program that hangs the way programs really do. Two
// threads take the same two critical sections in opposite order, each holds
// one and waits for the other, and neither ever goes on.
//
// It prints "pid <pid>", then "deadlocked" once both threads wait, and ends
// when its standard input closes.
#include <windows.h>

#include <cstdio>

namespace {

CRITICAL_SECTION g_accounts;
CRITICAL_SECTION g_ledger;
volatile LONG g_holding = 0;

// Holds first, then waits until the other thread holds too, then asks for
// second: from here on both wait for ever.
__attribute__((noinline)) void Lock(CRITICAL_SECTION* first, CRITICAL_SECTION* second) {
  EnterCriticalSection(first);
  InterlockedIncrement(&g_holding);
  while (g_holding < 2) Sleep(1);
  EnterCriticalSection(second);
  LeaveCriticalSection(second);
  LeaveCriticalSection(first);
}

__attribute__((noinline)) void TransferFunds() { Lock(&g_accounts, &g_ledger); }

__attribute__((noinline)) void AuditLedger() { Lock(&g_ledger, &g_accounts); }

DWORD WINAPI Teller(LPVOID) {
  TransferFunds();
  return 0;
}

DWORD WINAPI Auditor(LPVOID) {
  AuditLedger();
  return 0;
}

}  // namespace

int main() {
  InitializeCriticalSection(&g_accounts);
  InitializeCriticalSection(&g_ledger);
  HANDLE threads[] = {CreateThread(NULL, 0, Teller, NULL, 0, NULL), CreateThread(NULL, 0, Auditor, NULL, 0, NULL)};
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
