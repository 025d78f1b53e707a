// The yardstick for bench/window_start: the least a Qt Widgets program does to show a window of
// the configurator's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(906, 751);
    window.show();
    return application.exec();
}
