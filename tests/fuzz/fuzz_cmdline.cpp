// Any command line, applied by a whole window as at start-up: up to eight parameters, one a
// line. The window is the tests' own (in-memory port, message boxes recorded, no echo
// check), its store a file in a folder of its own. The window searches for modules when
// made, so this runs in a private network namespace, as the tests do.
#include "tests/support/FormHarness.h"

#include <QApplication>
#include <cstddef>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 512) return 0;
    QStringList params = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size))
                             .split(QLatin1Char('\n'));
    if (params.size() > 8) return 0;
    vsptest::FormHarness w(params);
    // A rejected parameter ends the program with one box that names it.
    if (w->Terminated && w->ExitCode == 2 && w.boxes.size() != 1) __builtin_trap();
    return 0;
}
