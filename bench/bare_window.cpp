// SPDX-License-Identifier: Apache-2.0
// The yardstick for bench/window_start: the least a Qt Widgets program does to show a window of
// the configurator's size. With --text it also shows one line of text, so that the cost of the
// font machinery every window with captions pays can be told apart from the window's own.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(906, 751);
    if (argc > 1 && std::strcmp(argv[1], "--text") == 0) {
        auto* line = new QLabel(QStringLiteral("SEND CONFIG TO SAT"), &window);
        line->move(16, 16);
    }
    window.show();
    return application.exec();
}
