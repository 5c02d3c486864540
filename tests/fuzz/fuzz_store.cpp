// Any bytes as a store file: the parser neither crashes nor loops, a text it accepts is
// written back as one it accepts again, unchanged from then on, and every key and value it
// lists can be looked up.
#include "app/RegDocument.h"

#include <cstddef>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384) return 0;
    vsp::TRegDocument doc;
    if (!doc.Parse(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))) {
        if (doc.ErrorLine() < 1 || !doc.Keys().isEmpty()) __builtin_trap();
        return 0;
    }
    for (const QString& key : doc.Keys()) {
        if (!doc.HasKey(key)) __builtin_trap();
        for (const QString& name : doc.ValueNames(key))
            if (!doc.Value(key, name)) __builtin_trap();
    }
    const QByteArray written = doc.Serialize();
    vsp::TRegDocument again;
    if (!again.Parse(written) || again.Serialize() != written) __builtin_trap();
    return 0;
}
