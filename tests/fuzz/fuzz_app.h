// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one QCoreApplication of a fuzzing process, made on first use and kept until it ends: the
// code under test posts events, reads code pages and settings through it.
#include <QCoreApplication>

namespace kestravo::fuzz {

inline void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "kestravo-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    (void)application;
}

} // namespace kestravo::fuzz
