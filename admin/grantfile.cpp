#include "admin/grantfile.h"

#include <QFile>
#include <QIODevice>
#include <QSet>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <optional>

namespace quv::admin {

namespace {

qsizetype characterCount(const QString &text)
{
    qsizetype count = 0;
    for (QChar c : text)
        if (!c.isLowSurrogate())
            ++count;
    return count;
}

/// JSON text of one string, escaped by the JSON library.
class StringWriter
{
public:
    QByteArray operator()(const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        m_buffer.Clear();
        m_writer.Reset(m_buffer);
        m_writer.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
        return QByteArray(m_buffer.GetString(), qsizetype(m_buffer.GetSize()));
    }

private:
    rapidjson::StringBuffer m_buffer;
    rapidjson::Writer<rapidjson::StringBuffer> m_writer{m_buffer};
};

} // namespace

GrantFileWriter::GrantFileWriter(QIODevice &out) : m_out(out)
{
    StringWriter json;
    write("{\n  \"format\": " + json(GrantFileFormat) +
          ",\n  \"version\": " + QByteArray::number(GrantFileVersion) + ",\n  \"principals\": [");
}

void GrantFileWriter::write(const QByteArray &bytes)
{
    if (!m_failed && m_out.write(bytes) != bytes.size())
        m_failed = true;
}

void GrantFileWriter::writePrincipal(const FilePrincipal &p)
{
    StringWriter json;
    QByteArray text = m_first ? "\n" : ",\n";
    m_first = false;
    text += "    {\n      \"key\": " + json(p.key) + ",\n      \"name\": " + json(p.name) +
            ",\n      \"facts\": [";
    for (qsizetype i = 0; i < p.facts.size(); ++i) {
        const FilePrincipal::Fact &f = p.facts[i];
        text += (i == 0 ? "\n" : ",\n");
        text += "        {\"table\": " + json(f.table) + ", \"item\": " + json(f.item) +
                ", \"name\": " + json(f.name) + "}";
    }
    text += p.facts.isEmpty() ? "],\n" : "\n      ],\n";
    text += "      \"dimensions\": [";
    for (qsizetype i = 0; i < p.dimensions.size(); ++i) {
        const FilePrincipal::Dimension &d = p.dimensions[i];
        text += (i == 0 ? "\n" : ",\n");
        text +=
            "        {\"number\": " + QByteArray::number(d.number) + ", \"name\": " + json(d.name);
        if (d.filter.isEmpty()) {
            text += "}";
            continue;
        }
        text += ", \"filter\": [";
        for (qsizetype v = 0; v < d.filter.size(); ++v)
            text += (v == 0 ? "\n          " : ",\n          ") + json(d.filter[v].value);
        text += "\n        ]}";
    }
    text += p.dimensions.isEmpty() ? "]\n    }" : "\n      ]\n    }";
    write(text);
}

void GrantFileWriter::finish()
{
    write(m_first ? "]\n}\n" : "\n  ]\n}\n");
    if (m_failed)
        throw std::runtime_error(m_out.errorString().toStdString());
}

// ------------------------------------------------------------------ reading

namespace {

/// A byte stream over a file for the JSON reader that knows the line and
/// column (in characters) of the next byte.
class PositionStream
{
public:
    using Ch = char;

    explicit PositionStream(QFile &file) : m_file(file)
    {
        fill();
        // Editors on some systems start UTF-8 files with a byte order mark.
        if (m_size >= 3 && QByteArrayView(m_buffer, 3) == "\xEF\xBB\xBF") {
            m_pos = 3;
            m_offset = 3;
        }
    }

    Ch Peek() const { return m_pos < m_size ? m_buffer[m_pos] : '\0'; }
    Ch Take()
    {
        if (m_pos >= m_size)
            return '\0';
        const Ch c = m_buffer[m_pos++];
        ++m_offset;
        if (c == '\n') {
            ++m_line;
            m_column = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++m_column;
        }
        if (m_pos == m_size)
            fill();
        return c;
    }
    size_t Tell() const { return size_t(m_offset); }

    // The reader never writes.
    Ch *PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch *) { return 0; }

    qint64 line() const { return m_line; }
    qint64 column() const { return m_column; }
    bool failed() const { return m_failed; }

private:
    void fill()
    {
        m_pos = 0;
        m_size = m_file.read(m_buffer, sizeof m_buffer);
        if (m_size < 0) {
            m_failed = true;
            m_size = 0;
        }
    }

    QFile &m_file;
    char m_buffer[1 << 16];
    qint64 m_pos = 0;
    qint64 m_size = 0;
    qint64 m_offset = 0;
    qint64 m_line = 1;
    qint64 m_column = 1;
    bool m_failed = false;
};

/// Follows the file's structure event by event; a handler returning false
/// stops the reader with `error` set.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler>
{
public:
    Handler(const PositionStream &stream, const std::function<void(const FilePrincipal &)> &sink)
        : m_stream(stream), m_sink(sink)
    {
    }

    bool Null() { return scalar(Scalar::Null, {}, 0); }
    bool Bool(bool) { return scalar(Scalar::Bool, {}, 0); }
    bool Int(int i) { return i < 0 ? scalar(Scalar::Other, {}, 0) : Uint64(uint64_t(i)); }
    bool Uint(unsigned u) { return Uint64(u); }
    bool Int64(int64_t i) { return i < 0 ? scalar(Scalar::Other, {}, 0) : Uint64(uint64_t(i)); }
    bool Uint64(uint64_t u) { return scalar(Scalar::Number, {}, u); }
    bool Double(double) { return scalar(Scalar::Other, {}, 0); }
    bool String(const char *text, rapidjson::SizeType length, bool)
    {
        return scalar(Scalar::String, QString::fromUtf8(text, qsizetype(length)), 0);
    }

    bool Key(const char *text, rapidjson::SizeType length, bool)
    {
        const QString key = QString::fromUtf8(text, qsizetype(length));
        if (m_seenKeys.back().contains(key))
            return fail(QStringLiteral("the key \"%1\" appears twice").arg(key));
        m_seenKeys.back().insert(key);
        m_key = key;
        return true;
    }

    bool StartObject()
    {
        switch (m_state) {
        case State::Start:
            return enter(State::Root);
        case State::Principals:
            m_principal = FilePrincipal();
            m_principal.line = m_stream.line();
            return enter(State::Principal);
        case State::Facts:
            m_fact = FilePrincipal::Fact();
            m_fact.line = m_stream.line();
            return enter(State::Fact);
        case State::Dimensions:
            m_dimension = FilePrincipal::Dimension();
            m_dimension.line = m_stream.line();
            m_number.reset();
            return enter(State::Dimension);
        default:
            return unexpected(QStringLiteral("an object"));
        }
    }

    bool EndObject(rapidjson::SizeType)
    {
        const QSet<QString> keys = m_seenKeys.back();
        m_seenKeys.pop_back();
        switch (m_state) {
        case State::Root:
            if (!keys.contains(QStringLiteral("format")) ||
                !keys.contains(QStringLiteral("version")) ||
                !keys.contains(QStringLiteral("principals")))
                return fail(QStringLiteral("the file needs \"format\", \"version\" and "
                                           "\"principals\""));
            m_state = State::Done;
            return true;
        case State::Principal:
            if (!keys.contains(QStringLiteral("key")) || !keys.contains(QStringLiteral("facts")) ||
                !keys.contains(QStringLiteral("dimensions")))
                return fail(QStringLiteral("a principal needs \"key\", \"facts\" and "
                                           "\"dimensions\""));
            m_sink(m_principal);
            m_state = State::Principals;
            return true;
        case State::Fact:
            if (!keys.contains(QStringLiteral("table")) || !keys.contains(QStringLiteral("item")))
                return fail(QStringLiteral("a fact needs \"table\" and \"item\""));
            m_principal.facts.append(m_fact);
            m_state = State::Facts;
            return true;
        case State::Dimension:
            if (!m_number)
                return fail(QStringLiteral("a dimension needs \"number\""));
            m_dimension.number = *m_number;
            m_principal.dimensions.append(m_dimension);
            m_state = State::Dimensions;
            return true;
        default:
            return fail(QStringLiteral("unexpected end of object"));
        }
    }

    bool StartArray()
    {
        if (m_state == State::Root && m_key == u"principals")
            m_state = State::Principals;
        else if (m_state == State::Principal && m_key == u"facts")
            m_state = State::Facts;
        else if (m_state == State::Principal && m_key == u"dimensions")
            m_state = State::Dimensions;
        else if (m_state == State::Dimension && m_key == u"filter")
            m_state = State::Filter;
        else
            return unexpected(QStringLiteral("a list"));
        return true;
    }

    bool EndArray(rapidjson::SizeType)
    {
        switch (m_state) {
        case State::Principals:
            m_state = State::Root;
            return true;
        case State::Facts:
        case State::Dimensions:
            m_state = State::Principal;
            return true;
        case State::Filter:
            m_state = State::Dimension;
            return true;
        default:
            return fail(QStringLiteral("unexpected end of list"));
        }
    }

    QString error;

private:
    enum class State
    {
        Start,
        Root,
        Principals,
        Principal,
        Facts,
        Fact,
        Dimensions,
        Dimension,
        Filter,
        Done
    };
    enum class Scalar
    {
        String,
        Number,
        Null,
        Bool,
        Other
    };

    bool enter(State state)
    {
        m_state = state;
        m_seenKeys.push_back({});
        return true;
    }

    bool fail(const QString &message)
    {
        error = message;
        return false;
    }

    // What a key of the current object must hold; empty for a key the
    // object does not have.
    QString expectedFor(const QString &key) const
    {
        struct Known
        {
            State state;
            const char *key;
            const char *holds;
        };
        static const Known known[] = {
            {State::Root, "format", "a string"},        {State::Root, "version", "a number"},
            {State::Root, "principals", "a list"},      {State::Principal, "key", "a string"},
            {State::Principal, "name", "a string"},     {State::Principal, "facts", "a list"},
            {State::Principal, "dimensions", "a list"}, {State::Fact, "table", "a string"},
            {State::Fact, "item", "a string"},          {State::Fact, "name", "a string"},
            {State::Dimension, "number", "a number"},   {State::Dimension, "name", "a string"},
            {State::Dimension, "filter", "a list"},
        };
        for (const Known &k : known)
            if (k.state == m_state && key == QLatin1StringView(k.key))
                return QLatin1StringView(k.holds);
        return {};
    }

    bool unexpected(const QString &what)
    {
        switch (m_state) {
        case State::Start:
        case State::Done:
            return fail(QStringLiteral("the file must be one JSON object"));
        case State::Principals:
        case State::Facts:
        case State::Dimensions:
            return fail(QStringLiteral("expected an object in the list, found %1").arg(what));
        case State::Filter:
            return fail(QStringLiteral("expected a filter value (a string), found %1").arg(what));
        default:
            break;
        }
        const QString expected = expectedFor(m_key);
        if (expected.isEmpty())
            return fail(QStringLiteral("unknown key \"%1\"").arg(m_key));
        return fail(QStringLiteral("\"%1\" must be %2, found %3").arg(m_key, expected, what));
    }

    static QString describe(Scalar kind)
    {
        switch (kind) {
        case Scalar::String:
            return QStringLiteral("a string");
        case Scalar::Number:
            return QStringLiteral("a number");
        case Scalar::Null:
            return QStringLiteral("null");
        case Scalar::Bool:
            return QStringLiteral("a boolean");
        case Scalar::Other:
            break;
        }
        return QStringLiteral("a number that is not a whole number of 0 or more");
    }

    bool scalar(Scalar kind, const QString &text, uint64_t number)
    {
        const bool isString = kind == Scalar::String;
        switch (m_state) {
        case State::Root:
            if (m_key == u"format") {
                if (!isString)
                    return unexpected(describe(kind));
                if (text != GrantFileFormat)
                    return fail(QStringLiteral("this is not a grants file (format \"%1\", "
                                               "expected \"%2\")")
                                    .arg(text, GrantFileFormat));
                return true;
            }
            if (m_key == u"version") {
                if (kind != Scalar::Number)
                    return unexpected(describe(kind));
                if (number != uint64_t(GrantFileVersion))
                    return fail(QStringLiteral("format version %1 is not supported (this "
                                               "program reads version %2)")
                                    .arg(number)
                                    .arg(GrantFileVersion));
                return true;
            }
            break;
        case State::Principal:
            if (m_key == u"key") {
                if (!isString)
                    return unexpected(describe(kind));
                if (text.size() < 2 || (text.front() != u'G' && text.front() != u'O'))
                    return fail(QStringLiteral("the principal key \"%1\" is malformed (G and "
                                               "a group code, or O and an operator code)")
                                    .arg(text));
                m_principal.key = text;
                return true;
            }
            if (m_key == u"name")
                return isString ? (m_principal.name = text, true) : unexpected(describe(kind));
            break;
        case State::Fact:
            if (m_key == u"table" || m_key == u"item" || m_key == u"name") {
                if (!isString)
                    return unexpected(describe(kind));
                (m_key == u"table"  ? m_fact.table
                 : m_key == u"item" ? m_fact.item
                                    : m_fact.name) = text;
                return true;
            }
            break;
        case State::Dimension:
            if (m_key == u"number") {
                if (kind != Scalar::Number || number > 99999)
                    return fail(QStringLiteral("\"number\" must be a dimension number from 0 "
                                               "to 99999"));
                m_number = int(number);
                return true;
            }
            if (m_key == u"name")
                return isString ? (m_dimension.name = text, true) : unexpected(describe(kind));
            break;
        case State::Filter: {
            if (!isString)
                return unexpected(describe(kind));
            if (text.isEmpty())
                return fail(QStringLiteral("a filter value is empty"));
            const qsizetype length = characterCount(text);
            if (length > MaxFilterValue)
                return fail(QStringLiteral("the filter value \"%1\" has %2 characters; the "
                                           "most is %3")
                                .arg(text)
                                .arg(length)
                                .arg(MaxFilterValue));
            m_dimension.filter.append({text, m_stream.line()});
            return true;
        }
        default:
            break;
        }
        return unexpected(describe(kind));
    }

    const PositionStream &m_stream;
    const std::function<void(const FilePrincipal &)> &m_sink;
    State m_state = State::Start;
    QString m_key;
    QList<QSet<QString>> m_seenKeys;
    FilePrincipal m_principal;
    FilePrincipal::Fact m_fact;
    FilePrincipal::Dimension m_dimension;
    std::optional<int> m_number;
};

} // namespace

void readGrantFile(const QString &path, const std::function<void(const FilePrincipal &)> &sink)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw GrantFileError(0, 0, QStringLiteral("cannot open: %1").arg(file.errorString()));
    // The stream's buffer is large: keep it off the stack.
    auto stream = std::make_unique<PositionStream>(file);
    Handler handler(*stream, sink);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result =
        reader.Parse<rapidjson::kParseValidateEncodingFlag>(*stream, handler);
    if (stream->failed())
        throw GrantFileError(stream->line(), stream->column(),
                             QStringLiteral("read error: %1").arg(file.errorString()));
    if (result.IsError()) {
        const QString message =
            result.Code() == rapidjson::kParseErrorTermination
                ? handler.error
                : QStringLiteral("malformed JSON: %1")
                      .arg(QString::fromUtf8(rapidjson::GetParseError_En(result.Code())));
        throw GrantFileError(stream->line(), stream->column(), message);
    }
}

} // namespace quv::admin
