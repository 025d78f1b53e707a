// Start-up: the application object, its title, the one window, the message loop.
#include "app/application.h"
#include "app/operator_dialogs.h"
#include "app/tform1.h"
#include "kestravo_version.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

namespace {

bool HasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

// The icon installed for the desktop, at every size drawn, built into the program.
QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icon/%1x%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

int main(int argc, char* argv[])
{
    // Without a display Qt would abort with a backtrace; one clear line serves the operator better.
    if (!HasDisplay()) {
        std::fputs("kestravo: no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
                   "QT_QPA_PLATFORM are all unset)\n",
                   stderr);
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(kestravo::kVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(kestravo::kAppId));
    QApplication::setWindowIcon(ApplicationIcon());
    try {
        kestravo::TForm1 Form1;
        Form1.setWindowTitle(kestravo::WindowTitle(QString::fromLatin1(kestravo::kVersion)));
        Form1.show();
        application.exec();
    } catch (...) {
        // The same error box as the window's, through the one place every box goes.
        kestravo::WidgetOperatorDialogs(nullptr).ShowError(
            kestravo::ErrorBoxText(kestravo::FailureMessage(std::current_exception())));
    }
    return 0;
}
