// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one way the tests let the event loop run while they wait for something to happen.
#include <functional>

namespace kestravo::testkit {

// Runs the event loop (posted events and deferred deletes included) until the condition holds or
// a generous bound passes; returns the condition's last value. The bound catches a hang, it never
// measures speed.
bool WaitUntil(const std::function<bool()>& condition, int boundMs = 15000);

// Lets the event loop run for a while, for checks that something does NOT happen.
void SpinFor(int ms);

} // namespace kestravo::testkit
