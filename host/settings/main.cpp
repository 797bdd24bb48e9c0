// plinthora-settings: the settings window. It loads the settings bundle
// (PlinthoraPrefs.bundle: the library, Info.plist and its Root list), makes
// the bundle's principal class and shows it in a window titled with the
// bundle's name. --render and --render-picker draw the page or the picker
// to a PNG instead, for documentation and bug reports.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using CreateController = QWidget* (*)(const char*, const char*);
using PostMemoryWarning = void (*)();
using OpenPicker = QWidget* (*)(QWidget*, const char*);
using PickerSettled = bool (*)(QWidget*);

struct Bundle {
    QString path;
    QString name = "Plinthora";
    QString principalClass = "PlinthoraRootListController";
    void* handle = nullptr;
    CreateController create = nullptr;
    PostMemoryWarning memoryWarning = nullptr;
    OpenPicker openPicker = nullptr;
    PickerSettled pickerSettled = nullptr;
};

QStringList bundleCandidates() {
    QStringList out;
    if (const QByteArray env = qgetenv("PLINTHORA_PREFS_BUNDLE"); !env.isEmpty()) return {QString::fromLocal8Bit(env)};
    const QString exeDir = QCoreApplication::applicationDirPath();
    out << exeDir + "/../" PLINTHORA_INSTALL_LIBDIR "/plinthora/PlinthoraPrefs.bundle";
    out << QStringLiteral(PLINTHORA_BUILD_BUNDLE_DIR);
    return out;
}

// The few Info.plist strings the window needs; the bundle itself reads its
// property lists with a real parser.
QString infoString(const QByteArray& info, const QString& key) {
    const QRegularExpression re("<key>" + QRegularExpression::escape(key) + "</key>\\s*<string>([^<]*)</string>");
    const auto m = re.match(QString::fromUtf8(info));
    return m.hasMatch() ? m.captured(1) : QString();
}

bool loadBundle(Bundle& b, QString& error) {
    for (const QString& dir : bundleCandidates()) {
        const QString library = dir + "/PlinthoraPrefs";
        if (!QFileInfo::exists(library)) {
            error += "\n  " + library + ": not there";
            continue;
        }
        QFile info(dir + "/Info.plist");
        if (info.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = info.readAll();
            if (QString n = infoString(bytes, "CFBundleName"); !n.isEmpty()) b.name = n;
            if (QString c = infoString(bytes, "NSPrincipalClass"); !c.isEmpty()) b.principalClass = c;
        }
        b.handle = ::dlopen(QFile::encodeName(library).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!b.handle) {
            error += "\n  " + library + ": " + QString::fromLocal8Bit(::dlerror());
            continue;
        }
        b.path = QDir(dir).absolutePath();
        b.create = reinterpret_cast<CreateController>(::dlsym(b.handle, "PlinthoraPrefsCreateController"));
        b.memoryWarning = reinterpret_cast<PostMemoryWarning>(::dlsym(b.handle, "PlinthoraPrefsPostMemoryWarning"));
        b.openPicker = reinterpret_cast<OpenPicker>(::dlsym(b.handle, "PlinthoraPrefsOpenPicker"));
        b.pickerSettled = reinterpret_cast<PickerSettled>(::dlsym(b.handle, "PlinthoraPrefsPickerSettled"));
        if (b.create) return true;
        error += "\n  " + library + ": lacks PlinthoraPrefsCreateController";
    }
    return false;
}

// The kernel's memory-pressure notice (PSI), where the system lets us ask
// for it: some task stalled 150 ms on memory within one second.
void watchMemoryPressure(Bundle& b, QObject* owner) {
    const int fd = ::open("/proc/pressure/memory", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const char trigger[] = "some 150000 1000000";
    if (::write(fd, trigger, sizeof trigger) < 0) {
        ::close(fd);
        return;
    }
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Exception, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [&b] {
        if (b.memoryWarning) b.memoryWarning();
    });
}

// Pumps events until `done` or the time is up.
bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The page at its natural height: its scroll area shows everything.
QImage renderPage(QWidget* page) {
    page->resize(420, 800);
    page->show();
    QCoreApplication::processEvents();
    if (auto* scroll = page->findChild<QScrollArea*>())
        if (QWidget* content = scroll->widget()) page->resize(420, content->sizeHint().height());
    QCoreApplication::processEvents();
    return page->grab().toImage();
}

const QCommandLineOption render("render", "Render the settings page to FILE.png and exit.", "FILE");
const QCommandLineOption renderPicker("render-picker",
                                      "Render the shell or watermark picker to FILE.png and exit "
                                      "(arguments: shell|watermark FILE).",
                                      "shell|watermark");

void describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription("Plinthora settings");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(render);
    parser.addOption(renderPicker);
}

// --help and --version need no window, so they must not need a display
// either: they are answered before the GUI application exists.
bool onlyAsksForText(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        for (const char* option : {"-h", "--help", "--help-all", "-v", "--version"})
            if (!std::strcmp(argv[i], option)) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationVersion(PLINTHORA_VERSION);
    if (onlyAsksForText(argc, argv)) {
        QCoreApplication text(argc, argv);
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(text);  // prints and exits
        return 0;
    }
    QApplication app(argc, argv);
    // The C library's number formats stay neutral; Qt keeps the user's.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName("plinthora-settings");
    QGuiApplication::setDesktopFileName("plinthora-settings");

    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);

    Bundle bundle;
    QString error;
    if (!loadBundle(bundle, error)) {
        std::fprintf(stderr, "plinthora-settings: cannot load the settings bundle:%s\n", qPrintable(error));
        return 1;
    }
    QWidget* page = bundle.create(bundle.principalClass.toUtf8().constData(), bundle.path.toUtf8().constData());
    if (!page) {
        std::fprintf(stderr, "plinthora-settings: the bundle has no class %s\n", qPrintable(bundle.principalClass));
        return 1;
    }
    page->setWindowTitle(bundle.name);

    if (parser.isSet(render)) {
        const QString file = parser.value(render);
        if (!renderPage(page).save(file, "PNG")) {
            std::fprintf(stderr, "plinthora-settings: cannot write %s\n", qPrintable(file));
            return 1;
        }
        return 0;
    }
    if (parser.isSet(renderPicker)) {
        const QString which = parser.value(renderPicker);
        const QStringList rest = parser.positionalArguments();
        if ((which != "shell" && which != "watermark") || rest.size() != 1 || !bundle.openPicker) {
            std::fprintf(stderr, "usage: plinthora-settings --render-picker shell|watermark FILE.png\n");
            return 2;
        }
        renderPage(page);
        QWidget* picker = bundle.openPicker(page, which.toUtf8().constData());
        if (!picker) return 1;
        picker->resize(420, 640);
        QCoreApplication::processEvents();
        if (!waitFor([&] { return bundle.pickerSettled(picker); }, 30000))
            std::fprintf(stderr, "plinthora-settings: thumbnails still loading; rendering what is there\n");
        // Let the thumbnails finish fading in.
        waitFor([] { return false; }, 300);
        if (!picker->grab().toImage().save(rest.first(), "PNG")) {
            std::fprintf(stderr, "plinthora-settings: cannot write %s\n", qPrintable(rest.first()));
            return 1;
        }
        return 0;
    }

    watchMemoryPressure(bundle, &app);
    page->resize(420, 760);
    page->show();
    const int code = app.exec();
    delete page;
    return code;
}
