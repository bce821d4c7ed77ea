// What the walked threads of a fixture must show, and how they must fare.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "Programs.h"
#include "ReportText.h"

namespace e2e {

// At least one line, and every line a frame line.
::testing::AssertionResult IsStack(const Lines& stack);

// The stack of the worker `tid` holds the worker chain's own frames,
// innermost first and one after the other: FixtureLevelThree,
// FixtureLevelTwo, RelayCall (in fixrelay.dll), FixtureLevelOne,
// FixtureWorker. Each line must be exact: module text, name, argument words
// (on 32-bit the arguments the chain passes, the worker's record and the
// function RelayCall calls, and any words after them), the displacement from
// where the fixture says the function starts, and the file and line that the
// "// frame: NAME" marker in the fixture's sources stands on. The frames of
// Wine's own modules around them are not compared.
::testing::AssertionResult ShowsWorkerChain(const Lines& stack, const Fixture& fixture, unsigned tid);

// Every worker counted exactly one more heartbeat than before and had a
// suspend count of 0 when the fixture looked.
::testing::AssertionResult RanAgainUnsuspended(const std::map<unsigned, WorkerState>& before,
                                               const std::map<unsigned, WorkerState>& after);

}  // namespace e2e
