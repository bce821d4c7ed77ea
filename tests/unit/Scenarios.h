// Machines that more than one test file runs the tool on.
#ifndef TESTS_UNIT_SCENARIOS_H
#define TESTS_UNIT_SCENARIOS_H

#include "Machine.h"

// Process 120 with three modules and threads whose frames touch each of
// them (ThreadWalkTest.cpp).
sim::Machine StackMachine();
// Processes 8, 120 and 300, then the tool (SweepTest.cpp).
sim::Machine ThreeProcesses();
// Processes 100 to 400 that load the same modules, the same file at two
// bases, two files at one base and one file rebuilt (SweepTest.cpp).
sim::Machine SharedModulesMachine();
// Process 120 whose threads spin, sleep and end over the -c interval
// (ThreadCpuTest.cpp).
sim::Machine BusyMachine();
// Process 120 whose threads 10 and 20 wait for each other's critical
// section and 30 for an event (WaitChainTest.cpp).
sim::Machine CycleMachine();
// Process 120 with ntdll.dll's section-wait routines and app.exe, and the
// tool; thread tid of it waiting to enter section as Wine's threads do
// (WaitChainTest.cpp).
sim::Machine WaitMachine();
sim::Thread& SectionWaiter(sim::Process& p, DWORD tid, uint64_t section);
// Process 120 whose threads wait on handles of every kind, two of them for
// each other, one for the loader lock (HandleWaitTest.cpp).
sim::Machine HandleWaitMachine();
// Process 120 whose threads wait on slim locks of Wine's and Windows'
// layouts, a condition variable and an address (ModernWaitTest.cpp).
sim::Machine ModernWaitMachine();

#endif
