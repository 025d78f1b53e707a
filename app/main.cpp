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
#include <QFile>
#include <QPixmap>
#include <QStringList>

#include <dlfcn.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

constexpr const char* kUsage =
    "Usage: kestravo [--history | --settings] [FILE.sbd]\n"
    "Configure a Kestravo satellite tracker and send its settings over Iridium SBD.\n"
    "\n"
    "  FILE.sbd     start with this record file opened, as \"Open FROM FILE\" opens it\n"
    "  --history    open the send history beside the window\n"
    "  --settings   open the settings dialog beside the window\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Qt's own options (such as -platform NAME) are understood as well.\n";

// What the command line asks for, besides Qt's own options.
struct StartRequest {
    bool history = false;
    bool settings = false;
    QStringList files; // the first is opened; one window holds one record
};

// Reads the options before any display is needed: --help and --version work without one. Qt's
// own options are left for QApplication; anything else starting with "-" is refused (exit 2).
std::optional<int> ReadCommandLine(int argc, char* argv[], StartRequest& request)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!optionsEnded && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (!optionsEnded && arg == QLatin1String("--version")) {
            std::printf("kestravo %s\n", kestravo::kVersion);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    // The options Qt takes itself, with a value where they take one.
    static const QStringList qtWithValue = {
        QStringLiteral("-platform"), QStringLiteral("-platformpluginpath"), QStringLiteral("-platformtheme"),
        QStringLiteral("-plugin"), QStringLiteral("-qmljsdebugger"), QStringLiteral("-style"),
        QStringLiteral("-stylesheet"), QStringLiteral("-display"), QStringLiteral("-geometry"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-title"), QStringLiteral("-qwindowtitle"),
        QStringLiteral("-qwindowicon"), QStringLiteral("-name"), QStringLiteral("-session"),
        QStringLiteral("-font"), QStringLiteral("-fn"), QStringLiteral("-bg"), QStringLiteral("-fg"),
        QStringLiteral("-btn"), QStringLiteral("-visual"), QStringLiteral("-ncols"), QStringLiteral("-cmap")};
    static const QStringList qtAlone = {QStringLiteral("-reverse"), QStringLiteral("-widgetcount"),
                                        QStringLiteral("-nograb"), QStringLiteral("-dograb"), QStringLiteral("-sync")};
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && arg == QLatin1String("--history")) {
            request.history = true;
        } else if (!optionsEnded && arg == QLatin1String("--settings")) {
            request.settings = true;
        } else if (!optionsEnded && (qtWithValue.contains(arg) || qtWithValue.contains(arg.mid(1)))) {
            ++i;
        } else if (!optionsEnded && (qtAlone.contains(arg) || qtAlone.contains(arg.mid(1)) ||
                                     (arg.startsWith(u'-') && arg.contains(u'=') &&
                                      qtWithValue.contains(arg.section(u'=', 0, 0).mid(arg.startsWith(QLatin1String("--")) ? 1 : 0))))) {
        } else if (!optionsEnded && arg.startsWith(u'-') && arg != QLatin1String("-")) {
            std::fprintf(stderr, "kestravo: unknown option %s\nTry 'kestravo --help'.\n", argv[i]);
            return 2;
        } else {
            // A file manager hands over every file selected (%F); the window holds one record.
            if (!request.files.isEmpty())
                std::fprintf(stderr, "kestravo: opening %s only; %s is left unopened\n",
                             QFile::encodeName(request.files.first()).constData(), argv[i]);
            request.files << arg;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    StartRequest request;
    if (const std::optional<int> done = ReadCommandLine(argc, argv, request))
        return *done;

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
        // Asked for on the command line: after the window is up, as if the operator had asked.
        if (!request.files.isEmpty()) {
            Form1.OpenRecordFile(request.files.first());
            // The operator chose them all in the file manager: say on screen which were not opened.
            if (request.files.size() > 1)
                Form1.Dialogs().ShowMessage(kestravo::UnopenedFilesText(request.files));
        }
        if (request.history)
            emit Form1.HistoryRequested();
        if (request.settings)
            emit Form1.SettingsRequested();
        application.exec();
    } catch (...) {
        // The same error box as the window's, through the one place every box goes.
        kestravo::WidgetOperatorDialogs(nullptr).ShowError(
            kestravo::ErrorBoxText(kestravo::FailureMessage(std::current_exception())));
    }
    return 0;
}
