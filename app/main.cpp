// SPDX-License-Identifier: Apache-2.0
// Start-up: the application object, its title, the one window, the message loop.
#include "app/application.h"
#include "app/operator_dialogs.h"
#include "app/tform1.h"
#include "kestravo_version.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPixmap>

#include <dlfcn.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

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

// Runs a piece of start-up work on a thread of its own while the caller goes on; Wait() returns
// once it is done. Where no thread can be had, the work runs at once instead.
class SideWork {
public:
    template <typename Work>
    explicit SideWork(Work work)
    {
        try {
            thread_ = std::thread([work] { work(); });
        } catch (const std::system_error&) {
            work();
        }
    }
    ~SideWork() { Wait(); }
    SideWork(const SideWork&) = delete;
    SideWork& operator=(const SideWork&) = delete;

    void Wait()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

// fontconfig reads its configuration, dozens of small files, the first time a font is asked for.
// It can do so on another thread while Qt loads its platform plugin and connects to the display;
// Qt's font database then finds it ready. Qt's own library brought fontconfig in already, so it
// is looked up rather than linked.
void ReadFontConfiguration()
{
    using FcInitFunction = int (*)();
    if (auto init = reinterpret_cast<FcInitFunction>(::dlsym(RTLD_DEFAULT, "FcInit")))
        init();
}

// The window's own icon: the sizes a title bar or task bar draws. Larger views (menus, launchers)
// take the installed icon through the desktop entry, so the window need not send them to the
// X server at every start.
constexpr std::array<int, 5> kIconSizes = {16, 24, 32, 48, 64};
using IconImages = std::array<QImage, kIconSizes.size()>;

// Decodes the icon's pictures. They are read as PNG, which Qt reads itself: guessing the format
// would load and ask every image plugin first.
void DecodeIcon(IconImages& images)
{
    for (std::size_t i = 0; i < kIconSizes.size(); ++i) {
        QImageReader reader(QStringLiteral(":/icon/%1x%1.png").arg(kIconSizes[i]), "png");
        reader.setAutoDetectImageFormat(false);
        images[i] = reader.read();
    }
}

// Takes the pictures over: each is converted in place rather than held twice.
QIcon ApplicationIcon(IconImages&& images)
{
    QIcon icon;
    for (QImage& image : images)
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(std::move(image)));
    return icon;
}

} // namespace

int main(int argc, char* argv[])
{
    // A file-size limit or a peer that goes away makes a write fail with EFBIG or EPIPE, which
    // the window reports, instead of ending the program with nothing said.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // Without a display Qt would abort with a backtrace; one clear line serves the operator better.
    if (!HasDisplay()) {
        std::fputs("kestravo: no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
                   "QT_QPA_PLATFORM are all unset)\n",
                   stderr);
        return 2;
    }

    SideWork fontConfiguration(ReadFontConfiguration);
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(kestravo::kVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(kestravo::kAppId));
    // The icon's pictures are decoded while the window is built.
    IconImages iconImages;
    SideWork iconPictures([&iconImages] { DecodeIcon(iconImages); });
    fontConfiguration.Wait();
    try {
        kestravo::TForm1 Form1;
        Form1.setWindowTitle(kestravo::WindowTitle(QString::fromLatin1(kestravo::kVersion)));
        // The window's X window is made before the icon is given: made with an icon, Qt would
        // convert and send all of its pictures twice, once for the new window and once for the
        // widget on it.
        (void)Form1.winId();
        iconPictures.Wait();
        QApplication::setWindowIcon(ApplicationIcon(std::move(iconImages)));
        Form1.show();
        application.exec();
    } catch (...) {
        // The same error box as the window's, through the one place every box goes.
        kestravo::WidgetOperatorDialogs(nullptr).ShowError(
            kestravo::ErrorBoxText(kestravo::FailureMessage(std::current_exception())));
    }
    return 0;
}
