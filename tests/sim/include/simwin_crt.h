// Routes the C run-time calls whose results the simulation decides (heap,
// clock, console output) to the simulated platform. Only tool sources see
// this, through <windows.h>; the standard headers are read first so that
// the names below change nothing inside them.
#ifndef SIMWIN_CRT_H
#define SIMWIN_CRT_H

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

void* SimMalloc(size_t size);
void* SimCalloc(size_t count, size_t size);
void SimFree(void* block);
time_t SimTime(time_t* out);
char* SimCtime(const time_t* when);
// printf with the platform's "%S": UTF-16 text, written as narrow text.
int SimPrintf(const char* format, ...);
// fflush, which the machine notes: output printed and not yet written out
// is what a waiter on the tool's event would miss.
int SimFflush(FILE* stream);
// exit, which a run inside the test process turns into a return from main.
[[noreturn]] void SimExit(int status);

#define malloc SimMalloc
#define calloc SimCalloc
#define free SimFree
#define time SimTime
#define ctime SimCtime
#define printf SimPrintf
#define fflush SimFflush
#define exit SimExit

#endif
