// The store's text form: parsing and writing REGEDIT4 text, no I/O.
#include "app/RegDocument.h"

#include <QStringDecoder>

#include <algorithm>

namespace vsp {

namespace {

bool IsHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool IsRawControl(QChar c)
{
    return (c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7F;
}

// Reads "..." starting at s[p] == '"'; leaves p after the closing quote.
bool ParseQuoted(const QString& s, qsizetype& p, QString& out, QString& error)
{
    out.clear();
    ++p;
    while (p < s.size()) {
        const QChar c = s.at(p);
        if (c == u'"') {
            ++p;
            return true;
        }
        if (IsRawControl(c)) {
            error = QStringLiteral("a control character inside quotes (write it as \\xhh)");
            return false;
        }
        if (c != u'\\') {
            out += c;
            ++p;
            continue;
        }
        if (p + 1 >= s.size()) break;
        const QChar e = s.at(p + 1);
        p += 2;
        switch (e.unicode()) {
        case u'\\':
            out += u'\\';
            break;
        case u'"':
            out += u'"';
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        case u't':
            out += u'\t';
            break;
        case u'x':
            if (p + 1 >= s.size() || !IsHex(s.at(p)) || !IsHex(s.at(p + 1))) {
                error = QStringLiteral("\\x must be followed by two hexadecimal digits");
                return false;
            }
            out += QChar(char16_t(s.mid(p, 2).toUShort(nullptr, 16)));
            p += 2;
            break;
        default:
            error = QStringLiteral("unknown escape \\%1").arg(e);
            return false;
        }
    }
    error = QStringLiteral("missing closing quote");
    return false;
}

QString CheckKeyPath(const QString& path)
{
    if (path.isEmpty()) return QStringLiteral("empty key path");
    if (path.startsWith(u'-')) return QStringLiteral("deleting keys with [-key] is not supported");
    for (const QChar c : path)
        if (IsRawControl(c) || c == u'\t')
            return QStringLiteral("a control character in the key path");
    if (path.split(u'\\').contains(QString()))
        return QStringLiteral("an empty part in the key path");
    return {};
}

void SkipBlanks(const QString& s, qsizetype& p)
{
    while (p < s.size() && (s.at(p) == u' ' || s.at(p) == u'\t'))
        ++p;
}

} // namespace

// ---- TRegDocument ----

bool TRegDocument::Fail(int line, const QString& what)
{
    keys_.clear();
    errorLine_ = line;
    errorString_ = what;
    return false;
}

bool TRegDocument::Parse(const QByteArray& text)
{
    keys_.clear();
    errorLine_ = 0;
    errorString_.clear();
    QByteArray data = text;
    if (data.startsWith("\xEF\xBB\xBF")) data.remove(0, 3);
    const QList<QByteArray> lines = data.split('\n');
    bool sawHeader = false;
    qsizetype current = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNo = int(i + 1);
        QByteArray raw = lines.at(i);
        if (raw.endsWith('\r')) raw.chop(1);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString line = decoder.decode(raw);
        if (decoder.hasError()) return Fail(lineNo, QStringLiteral("the line is not UTF-8 text"));
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(u';')) continue;
        if (!sawHeader) {
            if (t != u"REGEDIT4")
                return Fail(lineNo, QStringLiteral("the file does not start with REGEDIT4"));
            sawHeader = true;
            continue;
        }
        if (t.startsWith(u'[')) {
            if (!t.endsWith(u']'))
                return Fail(lineNo, QStringLiteral("a key line must end with \"]\""));
            const QString path = t.mid(1, t.size() - 2);
            const QString bad = CheckKeyPath(path);
            if (!bad.isEmpty()) return Fail(lineNo, bad);
            AddKey(path);
            current = 0;
            while (keys_.at(current).Path.compare(path, Qt::CaseInsensitive) != 0)
                ++current;
            continue;
        }
        if (current < 0) return Fail(lineNo, QStringLiteral("a value before the first [key] line"));

        qsizetype p = 0;
        QString name, error;
        if (t.startsWith(u'@')) {
            p = 1;
        } else if (t.startsWith(u'"')) {
            if (!ParseQuoted(t, p, name, error)) return Fail(lineNo, error);
        } else {
            return Fail(lineNo, QStringLiteral("expected \"name\"=value"));
        }
        SkipBlanks(t, p);
        if (p >= t.size() || t.at(p) != u'=')
            return Fail(lineNo, QStringLiteral("expected \"=\" after the value name"));
        ++p;
        SkipBlanks(t, p);

        TRegValue value;
        const QString rest = t.mid(p);
        if (rest.startsWith(u'"') || rest.startsWith(u"expand:\"")) {
            value.Type = rest.startsWith(u'"') ? TRegDataType::String : TRegDataType::ExpandString;
            if (value.Type == TRegDataType::ExpandString) p += 7;
            if (!ParseQuoted(t, p, value.Text, error)) return Fail(lineNo, error);
            SkipBlanks(t, p);
            if (p != t.size()) return Fail(lineNo, QStringLiteral("text after the closing quote"));
        } else if (rest.startsWith(u"dword:")) {
            const QString digits = rest.mid(6);
            if (digits.isEmpty() || digits.size() > 8
                || !std::all_of(digits.begin(), digits.end(), IsHex))
                return Fail(lineNo, QStringLiteral("dword: needs 1 to 8 hexadecimal digits"));
            value.Type = TRegDataType::Integer;
            value.Number = digits.toUInt(nullptr, 16);
        } else {
            return Fail(lineNo,
                QStringLiteral("unsupported value type (use \"text\", expand:\"text\" "
                               "or dword:hhhhhhhh)"));
        }
        Key& key = keys_[current];
        for (const Entry& e : key.Values)
            if (e.Name.compare(name, Qt::CaseInsensitive) == 0)
                return Fail(lineNo,
                    QStringLiteral("the value \"%1\" appears twice in [%2]").arg(name, key.Path));
        key.Values.append({ name, value });
    }
    return true;
}

QByteArray TRegDocument::Quote(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'"':
            out += QStringLiteral("\\\"");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += u'"';
    return out.toUtf8();
}

QByteArray TRegDocument::Serialize() const
{
    QByteArray out = "REGEDIT4\n";
    for (const Key& key : keys_) {
        out += "\n[" + key.Path.toUtf8() + "]\n";
        for (const Entry& e : key.Values) {
            out += e.Name.isEmpty() ? QByteArray("@") : Quote(e.Name);
            out += '=';
            switch (e.Value.Type) {
            case TRegDataType::String:
                out += Quote(e.Value.Text);
                break;
            case TRegDataType::ExpandString:
                out += "expand:" + Quote(e.Value.Text);
                break;
            case TRegDataType::Integer:
                out += "dword:" + QByteArray::number(e.Value.Number, 16).rightJustified(8, '0');
                break;
            }
            out += '\n';
        }
    }
    return out;
}

TRegDocument::Key* TRegDocument::FindKey(const QString& path)
{
    for (Key& k : keys_)
        if (k.Path.compare(path, Qt::CaseInsensitive) == 0) return &k;
    return nullptr;
}

const TRegDocument::Key* TRegDocument::FindKey(const QString& path) const
{
    return const_cast<TRegDocument*>(this)->FindKey(path);
}

bool TRegDocument::HasKey(const QString& key) const
{
    return FindKey(key) != nullptr;
}

void TRegDocument::AddKey(const QString& key)
{
    if (!FindKey(key)) keys_.append({ key, {} });
}

QList<QString> TRegDocument::Keys() const
{
    QList<QString> out;
    for (const Key& k : keys_)
        out.append(k.Path);
    return out;
}

QList<QString> TRegDocument::ValueNames(const QString& key) const
{
    QList<QString> out;
    if (const Key* k = FindKey(key))
        for (const Entry& e : k->Values)
            out.append(e.Name);
    return out;
}

const TRegValue* TRegDocument::Value(const QString& key, const QString& name) const
{
    if (const Key* k = FindKey(key))
        for (const Entry& e : k->Values)
            if (e.Name.compare(name, Qt::CaseInsensitive) == 0) return &e.Value;
    return nullptr;
}

void TRegDocument::SetValue(const QString& key, const QString& name, const TRegValue& value)
{
    AddKey(key);
    Key* k = FindKey(key);
    for (Entry& e : k->Values) {
        if (e.Name.compare(name, Qt::CaseInsensitive) == 0) {
            e.Value = value;
            return;
        }
    }
    k->Values.append({ name, value });
}

bool TRegDocument::RemoveValue(const QString& key, const QString& name)
{
    Key* k = FindKey(key);
    if (!k) return false;
    for (qsizetype i = 0; i < k->Values.size(); ++i) {
        if (k->Values.at(i).Name.compare(name, Qt::CaseInsensitive) == 0) {
            k->Values.removeAt(i);
            return true;
        }
    }
    return false;
}

} // namespace vsp
