#include "wire.h"

#include "peertext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>

namespace quv::wire {

namespace {

// Deep nesting is never legitimate here and would let a hostile peer exhaust
// the stack of a recursive reader.
constexpr int MaxDepth = 32;

const QString FieldsKey = QStringLiteral("fields");
const QString RowsKey = QStringLiteral("rows");

[[noreturn]] void fail(const QString &message, int errorCode = code::ParseError)
{
    throw DecodeError(message, errorCode);
}

// A field definition holds its name and size and nothing else, in either
// encoding: a key we do not know could be a meaning we would drop.
bool isFieldKey(QStringView key)
{
    return key == QLatin1StringView("name") || key == QLatin1StringView("size");
}

[[noreturn]] void failUnknownFieldKey(const QString &key)
{
    fail(QStringLiteral("Chave '%1' desconhecida na definição de campo.").arg(clipped(key)));
}

[[noreturn]] void failTooManyFields()
{
    fail(QStringLiteral("Pacote de dados com mais de %1 campos.").arg(MaxPacketFields));
}

// What a decoder may still build from the payload (see ValueCost).
class Budget
{
public:
    explicit Budget(qint64 items) : m_left(items) {}
    void spend(qint64 items)
    {
        m_left -= items;
        if (m_left < 0)
            fail(QStringLiteral("Mensagem recusada: ela traz valores demais para o seu tamanho."));
    }
    /// How many more values there is room for: what a list may reserve.
    qsizetype values() const { return qsizetype(qMax<qint64>(0, m_left / ValueCost)); }

private:
    qint64 m_left;
};

// ---------------------------------------------------------------- CBOR out

// Writes straight into one buffer: a reply carries a packet of up to
// millions of cells, and a stream writer over a QIODevice paid two device
// writes per cell.
class CborOut
{
public:
    explicit CborOut(QByteArray &out) : m_out(out) {}

    void head(quint8 major, quint64 value)
    {
        const auto initial = char(major << 5);
        if (value < 24) {
            m_out.append(char(initial | char(value)));
        } else if (value <= 0xff) {
            m_out.append(char(initial | 24));
            m_out.append(char(value));
        } else if (value <= 0xffff) {
            m_out.append(char(initial | 25));
            bigEndian(quint16(value));
        } else if (value <= 0xffffffffu) {
            m_out.append(char(initial | 26));
            bigEndian(quint32(value));
        } else {
            m_out.append(char(initial | 27));
            bigEndian(quint64(value));
        }
    }
    void text(QByteArrayView utf8)
    {
        head(3, quint64(utf8.size()));
        m_out.append(utf8.data(), utf8.size());
    }
    void text(const QString &value) { text(QByteArrayView(value.toUtf8())); }
    void integer(qint64 value)
    {
        if (value >= 0)
            head(0, quint64(value));
        else
            head(1, quint64(-1 - value));
    }
    void boolean(bool value) { m_out.append(char(value ? 0xf5 : 0xf4)); }
    void null() { m_out.append(char(0xf6)); }
    void real(double value)
    {
        m_out.append(char(0xfb));
        quint64 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        bigEndian(bits);
    }
    void reserve(qsizetype more) { m_out.reserve(m_out.size() + more); }

private:
    template <typename T> void bigEndian(T value)
    {
        char bytes[sizeof(T)];
        qToBigEndian(value, bytes);
        m_out.append(bytes, sizeof(T));
    }

    QByteArray &m_out;
};

void writePacket(CborOut &w, const DataPacket &packet)
{
    const qsizetype rows = packet.rowCount();
    const int columns = packet.fieldCount();
    // Cell bytes plus, per cell, a length head of one to three bytes.
    w.reserve(packet.byteSize() + rows * (columns * 3 + 3) + 64);
    w.head(5, 2);
    w.text(QByteArrayView("fields"));
    w.head(4, quint64(columns));
    for (const FieldDef &field : packet.fields()) {
        w.head(5, 2);
        w.text(QByteArrayView("name"));
        w.text(field.name);
        w.text(QByteArrayView("size"));
        w.integer(field.size);
    }
    w.text(QByteArrayView("rows"));
    w.head(4, quint64(rows));
    for (qsizetype r = 0; r < rows; ++r) {
        w.head(4, quint64(columns));
        for (int c = 0; c < columns; ++c)
            w.text(packet.utf8(r, c));
    }
}

void writeCbor(CborOut &w, const QVariant &value, int depth)
{
    if (depth > MaxDepth)
        throw std::invalid_argument("value nested too deeply");
    if (!value.isValid() || value.isNull()) {
        w.null();
        return;
    }
    if (value.metaType() == QMetaType::fromType<DataPacket>()) {
        writePacket(w, value.value<DataPacket>());
        return;
    }
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        w.boolean(value.toBool());
        return;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        w.integer(value.toLongLong());
        return;
    case QMetaType::Double:
    case QMetaType::Float:
        w.real(value.toDouble());
        return;
    case QMetaType::QString:
        w.text(value.toString());
        return;
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        w.head(4, quint64(list.size()));
        for (const QString &item : list)
            w.text(item);
        return;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        w.head(4, quint64(list.size()));
        for (const QVariant &item : list)
            writeCbor(w, item, depth + 1);
        return;
    }
    case QMetaType::QVariantMap: {
        // A map led by "fields" is read back as a data packet, and a map's
        // keys come out sorted: a plain map writes that key last, and one
        // holding nothing else cannot travel at all.
        const QVariantMap map = value.toMap();
        const auto fields = map.constFind(FieldsKey);
        if (fields != map.cend() && map.size() == 1)
            throw std::invalid_argument(
                "a map holding only the key \"fields\" would be read as a data packet");
        w.head(5, quint64(map.size()));
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (it == fields)
                continue;
            w.text(it.key());
            writeCbor(w, it.value(), depth + 1);
        }
        if (fields != map.cend()) {
            w.text(FieldsKey);
            writeCbor(w, fields.value(), depth + 1);
        }
        return;
    }
    default:
        throw std::invalid_argument(QStringLiteral("type %1 cannot travel")
                                        .arg(QLatin1StringView(value.typeName()))
                                        .toStdString());
    }
}

// ----------------------------------------------------------------- CBOR in

// Reads the subset of CBOR that travels here (integers, text, arrays, maps,
// booleans, null, floats; definite or indefinite lengths) straight from the
// payload. Every length is checked against what is left of the payload
// before anything is read or reserved; packet cells go from the payload into
// their column without an intermediate string.
class CborDecoder
{
public:
    CborDecoder(QByteArrayView payload, qint64 budget)
        : m_p(payload.data()), m_end(payload.data() + payload.size()), m_budget(budget)
    {
    }

    QVariant document()
    {
        QVariant value = read(0);
        if (m_p != m_end)
            fail(QStringLiteral("Dados após o fim da mensagem CBOR."));
        return value;
    }

private:
    enum Major : quint8
    {
        Unsigned = 0,
        Negative = 1,
        Bytes = 2,
        Text = 3,
        Array = 4,
        Map = 5,
        Tag = 6,
        Simple = 7
    };
    static constexpr quint8 Break = 0xff;

    struct Head
    {
        quint8 major = 0;
        quint8 info = 0;
        quint64 value = 0; // the argument; for floats, their bits
        bool indefinite = false;
    };

    /// A container being read: how many items are left, or until a break.
    struct Container
    {
        quint64 left = 0;
        bool indefinite = false;
    };

    [[noreturn]] static void incomplete() { fail(QStringLiteral("Mensagem CBOR incompleta.")); }

    qsizetype remaining() const { return m_end - m_p; }

    quint8 peek() const
    {
        if (m_p == m_end)
            incomplete();
        return quint8(*m_p);
    }

    Head head()
    {
        const quint8 initial = peek();
        ++m_p;
        Head h;
        h.major = quint8(initial >> 5);
        h.info = quint8(initial & 0x1f);
        if (h.info < 24) {
            h.value = h.info;
        } else if (h.info <= 27) {
            const int bytes = 1 << (h.info - 24);
            if (remaining() < bytes)
                incomplete();
            for (int i = 0; i < bytes; ++i)
                h.value = (h.value << 8) | quint8(m_p[i]);
            m_p += bytes;
        } else if (h.info == 31 && h.major >= Bytes && h.major <= Map) {
            h.indefinite = true;
        } else if (h.info == 31 && h.major == Simple) {
            fail(QStringLiteral("CBOR inválido: fim de lista fora de uma lista."));
        } else {
            fail(QStringLiteral("CBOR inválido: informação adicional %1 não permitida.")
                     .arg(h.info));
        }
        return h;
    }

    // A text string as a view on the payload (definite length) or gathered
    // in `scratch` (chunks). Valid UTF-8 or refused.
    QByteArrayView text(const Head &h, QByteArray &scratch)
    {
        if (h.major != Text)
            fail(h.major == Bytes
                     ? QStringLiteral("Sequências de bytes CBOR não são aceitas; use texto.")
                     : QStringLiteral("Esperava um texto no CBOR."));
        QByteArrayView utf8;
        if (!h.indefinite) {
            if (h.value > quint64(remaining()))
                fail(QStringLiteral("Texto CBOR com tamanho inválido."));
            utf8 = QByteArrayView(m_p, qsizetype(h.value));
            m_p += qsizetype(h.value);
        } else {
            scratch.resize(0);
            while (peek() != Break) {
                const Head chunk = head();
                if (chunk.major != Text || chunk.indefinite)
                    fail(QStringLiteral("CBOR inválido: pedaço de texto que não é texto."));
                if (chunk.value > quint64(remaining()))
                    fail(QStringLiteral("Texto CBOR com tamanho inválido."));
                scratch.append(m_p, qsizetype(chunk.value));
                m_p += qsizetype(chunk.value);
            }
            ++m_p;
            utf8 = scratch;
        }
        if (!utf8.isValidUtf8())
            fail(QStringLiteral("Texto CBOR não é UTF-8 válido."));
        return utf8;
    }

    QString readText() { return QString::fromUtf8(text(head(), m_scratch)); }

    qint64 integer(const Head &h)
    {
        if (h.major != Unsigned && h.major != Negative)
            fail(QStringLiteral("Esperava um inteiro no CBOR."));
        if (h.value > quint64(std::numeric_limits<qint64>::max()))
            fail(QStringLiteral("Inteiro CBOR fora do intervalo."));
        return h.major == Unsigned ? qint64(h.value) : -1 - qint64(h.value);
    }

    Container enter(const Head &h, bool array)
    {
        if (h.major != (array ? Array : Map))
            fail(array ? QStringLiteral("Esperava uma lista no CBOR.")
                       : QStringLiteral("Esperava um mapa no CBOR."));
        if (h.indefinite)
            return {0, true};
        // Every item takes at least one byte: a count beyond the bytes left
        // is a lie, refused before anything is built for it.
        const quint64 items = array ? h.value : h.value * 2;
        if (h.value > quint64(remaining()) || items > quint64(remaining()))
            fail(QStringLiteral("CBOR inválido: lista ou mapa maior do que a mensagem."));
        return {items, false};
    }

    bool hasNext(Container &c) const { return c.indefinite ? peek() != Break : c.left > 0; }

    // Counts the item about to be read.
    void take(Container &c)
    {
        if (!c.indefinite)
            --c.left;
    }

    void leave(const Container &c)
    {
        if (c.indefinite) {
            if (peek() != Break)
                fail(QStringLiteral("CBOR inválido: esperava o fim da lista."));
            ++m_p;
        }
    }

    QVariant read(int depth)
    {
        if (depth > MaxDepth)
            fail(QStringLiteral("Mensagem CBOR aninhada demais."));
        m_budget.spend(ValueCost);
        const Head h = head();
        switch (h.major) {
        case Unsigned:
        case Negative:
            return integer(h);
        case Text:
            return QString::fromUtf8(text(h, m_scratch));
        case Array: {
            Container c = enter(h, true);
            QVariantList list;
            if (!c.indefinite)
                list.reserve(qMin(qsizetype(c.left), m_budget.values()));
            while (hasNext(c)) {
                take(c);
                list.append(read(depth + 1));
            }
            leave(c);
            return list;
        }
        case Map:
            return readMap(h, depth);
        case Simple:
            return simple(h);
        case Bytes:
            fail(QStringLiteral("Sequências de bytes CBOR não são aceitas; use texto."));
        case Tag:
            fail(QStringLiteral("Marcas (tags) CBOR não são aceitas."));
        }
        fail(QStringLiteral("Tipo CBOR desconhecido."));
    }

    static QVariant simple(const Head &h)
    {
        switch (h.info) {
        case 20:
            return false;
        case 21:
            return true;
        case 22: // null
        case 23: // undefined
            return {};
        case 25: { // half precision, as the CBOR standard decodes it
            const auto bits = quint16(h.value);
            const int exponent = (bits >> 10) & 0x1f;
            const int mantissa = bits & 0x3ff;
            const double magnitude = exponent == 0    ? std::ldexp(mantissa, -24)
                                     : exponent != 31 ? std::ldexp(mantissa + 1024, exponent - 25)
                                     : mantissa == 0  ? std::numeric_limits<double>::infinity()
                                                      : std::numeric_limits<double>::quiet_NaN();
            return (bits & 0x8000) ? -magnitude : magnitude;
        }
        case 26: {
            float single = 0;
            const auto bits = quint32(h.value);
            std::memcpy(&single, &bits, sizeof bits);
            return double(single);
        }
        case 27: {
            double value = 0;
            std::memcpy(&value, &h.value, sizeof value);
            return value;
        }
        default:
            fail(QStringLiteral("Tipo simples CBOR não suportado."));
        }
    }

    QVariant readMap(const Head &h, int depth)
    {
        Container c = enter(h, false);
        QVariantMap map;
        bool first = true;
        while (hasNext(c)) {
            take(c);
            if (peek() >> 5 != Text)
                fail(QStringLiteral("Chave de mapa CBOR deve ser texto."));
            m_budget.spend(ValueCost);
            const QString key = readText();
            if (first && key == FieldsKey)
                return readPacketBody(c, depth);
            first = false;
            if (!hasNext(c))
                fail(QStringLiteral("Mapa CBOR sem valor para a chave '%1'.").arg(clipped(key)));
            take(c);
            if (map.contains(key))
                fail(QStringLiteral("Chave '%1' repetida no mapa CBOR.").arg(clipped(key)));
            map.insert(key, read(depth + 1));
        }
        leave(c);
        return map;
    }

    // Called inside the map `packetMap` right after its first key "fields".
    QVariant readPacketBody(Container &packetMap, int depth)
    {
        if (depth + 2 > MaxDepth)
            fail(QStringLiteral("Mensagem CBOR aninhada demais."));
        if (!hasNext(packetMap))
            fail(QStringLiteral("Pacote de dados sem a lista de campos."));
        take(packetMap);
        QList<FieldDef> fields;
        Container fieldList = enter(head(), true);
        while (hasNext(fieldList)) {
            take(fieldList);
            if (fields.size() == MaxPacketFields)
                failTooManyFields();
            m_budget.spend(ValueCost);
            Container def = enter(head(), false);
            FieldDef field;
            bool hasName = false;
            while (hasNext(def)) {
                take(def);
                if (peek() >> 5 != Text)
                    fail(QStringLiteral("Chave de mapa CBOR deve ser texto."));
                const QString key = readText();
                if (!hasNext(def))
                    fail(
                        QStringLiteral("Mapa CBOR sem valor para a chave '%1'.").arg(clipped(key)));
                take(def);
                if (key == QLatin1StringView("name")) {
                    field.name = readText();
                    hasName = true;
                } else if (key == QLatin1StringView("size")) {
                    const qint64 size = integer(head());
                    if (size < 0 || size > 1'000'000)
                        fail(QStringLiteral("Tamanho inválido do campo '%1'.")
                                 .arg(clipped(field.name)));
                    field.size = int(size);
                } else {
                    failUnknownFieldKey(key);
                }
            }
            leave(def);
            if (!hasName || field.name.isEmpty())
                fail(QStringLiteral("Campo de pacote sem nome."));
            fields.append(field);
        }
        leave(fieldList);

        DataPacket packet = makePacket(std::move(fields));
        if (!hasNext(packetMap) || peek() >> 5 != Text)
            fail(QStringLiteral("Pacote de dados sem 'rows' depois de 'fields'."));
        take(packetMap);
        if (readText() != RowsKey)
            fail(QStringLiteral("Pacote de dados sem 'rows' depois de 'fields'."));
        if (!hasNext(packetMap))
            fail(QStringLiteral("Pacote de dados sem a lista de linhas."));
        take(packetMap);
        Container rows = enter(head(), true);
        const int columns = packet.fieldCount();
        if (!rows.indefinite) // each row takes a byte, each cell one more
            packet.reserve(qMin(qsizetype(rows.left), remaining() / (columns + 1)));
        while (hasNext(rows)) {
            take(rows);
            m_budget.spend(1);
            Container row = enter(head(), true);
            int cells = 0;
            while (hasNext(row)) {
                take(row);
                if (cells >= columns)
                    fail(QStringLiteral("Linha %1 do pacote com valores demais (%2 campos).")
                             .arg(packet.rowCount())
                             .arg(columns));
                m_budget.spend(1);
                appendCell(packet, text(head(), m_scratch));
                ++cells;
            }
            leave(row);
            if (cells != columns)
                fail(QStringLiteral("Linha %1 do pacote com %2 valores; esperava %3.")
                         .arg(packet.rowCount())
                         .arg(cells)
                         .arg(columns));
            packet.endRow();
        }
        leave(rows);
        if (hasNext(packetMap))
            fail(QStringLiteral("Pacote de dados com chaves além de 'fields' e 'rows'."));
        leave(packetMap);
        return QVariant::fromValue(std::move(packet));
    }

    static DataPacket makePacket(QList<FieldDef> fields)
    {
        try {
            return DataPacket(std::move(fields));
        } catch (const PacketError &e) {
            fail(QString::fromStdString(e.what()));
        }
    }

    static void appendCell(DataPacket &packet, QByteArrayView cell)
    {
        try {
            packet.appendCell(cell);
        } catch (const PacketError &e) {
            fail(QString::fromStdString(e.what()));
        }
    }

    const char *m_p;
    const char *m_end;
    QByteArray m_scratch;
    Budget m_budget;
};

// -------------------------------------------------------------------- JSON

QJsonValue toJson(const QVariant &value, int depth);

QJsonObject packetToJson(const DataPacket &packet)
{
    QJsonArray fields;
    for (const FieldDef &field : packet.fields())
        fields.append(QJsonObject{{QStringLiteral("name"), field.name},
                                  {QStringLiteral("size"), field.size}});
    QJsonArray rows;
    for (qsizetype r = 0; r < packet.rowCount(); ++r)
        rows.append(QJsonArray::fromStringList(packet.row(r)));
    return QJsonObject{{FieldsKey, fields}, {RowsKey, rows}};
}

QJsonValue toJson(const QVariant &value, int depth)
{
    if (depth > MaxDepth)
        throw std::invalid_argument("value nested too deeply");
    if (!value.isValid() || value.isNull())
        return QJsonValue::Null;
    if (value.metaType() == QMetaType::fromType<DataPacket>())
        return packetToJson(value.value<DataPacket>());
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &item : value.toList())
            array.append(toJson(item, depth + 1));
        return array;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key(), toJson(it.value(), depth + 1));
        return object;
    }
    default:
        throw std::invalid_argument(QStringLiteral("type %1 cannot travel")
                                        .arg(QLatin1StringView(value.typeName()))
                                        .toStdString());
    }
}

// Qt's parser builds the whole document before any of it is looked at, so
// its size is bounded first, in one pass over the text: a text or a list is
// one parsed element of sixteen bytes, four cells' worth; any other value
// costs what it will cost as a value.
constexpr qint64 JsonElementCost = 4;

void checkJsonSize(QByteArrayView text, Budget &budget)
{
    bool inString = false;
    bool escaped = false;
    bool inScalar = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            budget.spend(JsonElementCost);
            break;
        case '[':
            budget.spend(JsonElementCost);
            break;
        case '{':
            budget.spend(ValueCost);
            break;
        case ']':
        case '}':
        case ',':
        case ':':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            break;
        default: // inside a number or a literal; it is counted once
            if (!inScalar)
                budget.spend(ValueCost);
            inScalar = true;
            continue;
        }
        inScalar = false;
    }
}

QVariant packetFromJson(const QJsonObject &object, Budget &budget)
{
    const QJsonValue fieldsValue = object.value(FieldsKey);
    const QJsonValue rowsValue = object.value(RowsKey);
    if (!fieldsValue.isArray() || !rowsValue.isArray())
        fail(QStringLiteral("Pacote de dados: 'fields' e 'rows' devem ser listas."));
    QList<FieldDef> fields;
    const QJsonArray fieldList = fieldsValue.toArray();
    if (fieldList.size() > MaxPacketFields)
        failTooManyFields();
    for (const QJsonValue &f : fieldList) {
        budget.spend(ValueCost);
        const QJsonObject fo = f.toObject();
        for (auto it = fo.constBegin(); it != fo.constEnd(); ++it)
            if (!isFieldKey(it.key()))
                failUnknownFieldKey(it.key());
        const QJsonValue name = fo.value(QStringLiteral("name"));
        const QJsonValue size = fo.value(QStringLiteral("size"));
        if (!f.isObject() || !name.isString() || name.toString().isEmpty())
            fail(QStringLiteral("Campo de pacote sem nome."));
        if (!size.isUndefined() &&
            (!size.isDouble() || size.toDouble() < 0 || size.toDouble() > 1'000'000 ||
             size.toDouble() != double(size.toInt())))
            fail(QStringLiteral("Tamanho inválido do campo '%1'.").arg(clipped(name.toString())));
        fields.append({name.toString(), size.toInt()});
    }
    try {
        DataPacket packet(std::move(fields));
        const QJsonArray rows = rowsValue.toArray();
        packet.reserve(rows.size());
        for (qsizetype r = 0; r < rows.size(); ++r) {
            budget.spend(1 + packet.fieldCount());
            if (!rows[r].isArray())
                fail(QStringLiteral("Linha %1 do pacote não é uma lista.").arg(r));
            const QJsonArray cells = rows[r].toArray();
            if (cells.size() != packet.fieldCount())
                fail(QStringLiteral("Linha %1 do pacote com %2 valores; esperava %3.")
                         .arg(r)
                         .arg(cells.size())
                         .arg(packet.fieldCount()));
            for (const QJsonValue &cell : cells) {
                if (!cell.isString())
                    fail(QStringLiteral("Linha %1 do pacote: todo valor deve ser texto.").arg(r));
                packet.appendCell(cell.toString());
            }
            packet.endRow();
        }
        return QVariant::fromValue(std::move(packet));
    } catch (const PacketError &e) {
        fail(QString::fromStdString(e.what()));
    }
}

QVariant fromJson(const QJsonValue &value, int depth, Budget &budget)
{
    if (depth > MaxDepth)
        fail(QStringLiteral("Mensagem JSON aninhada demais."));
    budget.spend(ValueCost);
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return {};
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        const double d = value.toDouble();
        // The range test first: converting a double out of range is undefined.
        if (std::abs(d) < 9.0e15 && d == double(qint64(d)))
            return qint64(d);
        return d;
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        QVariantList list;
        list.reserve(qMin(array.size(), budget.values()));
        for (const QJsonValue &item : array)
            list.append(fromJson(item, depth + 1, budget));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.size() == 2 && object.contains(FieldsKey) && object.contains(RowsKey))
            return packetFromJson(object, budget);
        QVariantMap map;
        for (auto it = object.begin(); it != object.end(); ++it) {
            budget.spend(ValueCost);
            map.insert(it.key(), fromJson(it.value(), depth + 1, budget));
        }
        return map;
    }
    }
    return {};
}

} // namespace

// ------------------------------------------------------------------ framing

namespace {

[[noreturn]] void failFrameTooLarge(quint32 length, quint32 limit)
{
    throw DecodeError(
        QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.").arg(length).arg(limit),
        code::FrameTooLarge);
}

} // namespace

qint64 decodeBudget(qsizetype payloadBytes)
{
    return payloadBytes + 65536;
}

qint64 answerDecodeBudget(qsizetype payloadBytes)
{
    return qint64(payloadBytes) * ValueCost + 65536;
}

void FrameReader::feed(QByteArrayView bytes)
{
    if (m_pos > 0 && m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    const bool atFrameStart = buffered() < 4;
    m_buffer.append(bytes.data(), bytes.size());
    if (buffered() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
        if (length > m_max)
            failFrameTooLarge(length, m_max);
        // A large frame gets its room once, at the front of the buffer: it
        // is neither copied as it grows nor after it has arrived.
        if (atFrameStart && length > 64 * 1024) {
            if (m_pos > 0) {
                m_buffer.remove(0, m_pos);
                m_pos = 0;
            }
            m_buffer.reserve(4 + qsizetype(length));
        }
    }
}

std::optional<QByteArray> FrameReader::next()
{
    if (buffered() < 4)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
    if (length > m_max)
        failFrameTooLarge(length, m_max);
    const qsizetype end = m_pos + 4 + qsizetype(length);
    if (m_buffer.size() < end)
        return std::nullopt;
    QByteArray payload;
    if (end == m_buffer.size() && length > 64 * 1024) {
        // The frame is all that is left: hand over the buffer itself.
        payload = std::move(m_buffer);
        payload.remove(0, m_pos + 4);
        m_buffer = QByteArray();
        m_pos = 0;
        return payload;
    }
    payload = m_buffer.mid(m_pos + 4, length);
    m_pos = end;
    // Drop consumed bytes once they dominate the buffer, keeping appends cheap.
    if (m_pos > 1024 * 1024 && m_pos * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    // An oversized header right behind this frame is refused by the next
    // call: refusing it here would drop this complete frame, and only when
    // both happened to arrive in one piece.
    return payload;
}

std::array<char, 4> frameHeader(qsizetype payloadSize, quint32 limit)
{
    if (payloadSize < 0 || quint64(payloadSize) > limit)
        throw std::length_error(QStringLiteral("a payload of %1 bytes is over the frame limit of "
                                               "%2 bytes")
                                    .arg(payloadSize)
                                    .arg(limit)
                                    .toStdString());
    std::array<char, 4> header;
    qToBigEndian<quint32>(quint32(payloadSize), header.data());
    return header;
}

QByteArray frame(const QByteArray &payload)
{
    const std::array<char, 4> header = frameHeader(payload.size());
    QByteArray out;
    out.reserve(payload.size() + 4);
    out.append(header.data(), 4);
    out.append(payload);
    return out;
}

Encoding detectEncoding(QByteArrayView payload)
{
    for (char c : payload) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        return c == '{' ? Encoding::Json : Encoding::Cbor;
    }
    return Encoding::Cbor;
}

QByteArray encode(const QVariant &value, Encoding encoding)
{
    if (encoding == Encoding::Json) {
        const QJsonValue json = toJson(value, 0);
        if (json.isObject())
            return QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact);
        if (json.isArray())
            return QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact);
        throw std::invalid_argument("a JSON message must be an object or an array");
    }
    QByteArray out;
    CborOut writer(out);
    writeCbor(writer, value, 0);
    return out;
}

QVariant decode(QByteArrayView payload, Encoding encoding)
{
    return decode(payload, encoding, decodeBudget(payload.size()));
}

QVariant decode(QByteArrayView payload, Encoding encoding, qint64 budget)
{
    if (encoding == Encoding::Json) {
        Budget parsed(budget);
        checkJsonSize(payload, parsed);
        QJsonParseError error;
        // Over the caller's bytes, not a copy of them.
        const QJsonDocument doc = QJsonDocument::fromJson(
            QByteArray::fromRawData(payload.data(), payload.size()), &error);
        if (error.error != QJsonParseError::NoError)
            fail(QStringLiteral("JSON inválido na posição %1: %2")
                     .arg(error.offset)
                     .arg(error.errorString()));
        Budget converted(budget);
        if (doc.isObject())
            return fromJson(doc.object(), 0, converted);
        return fromJson(doc.array(), 0, converted);
    }
    return CborDecoder(payload, budget).document();
}

// ------------------------------------------------------------------ JSON-RPC

QVariant requestToVariant(const Request &request)
{
    QVariantMap map{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("method"), request.method},
                    {QStringLiteral("params"), request.params}};
    if (request.id.isValid())
        map.insert(QStringLiteral("id"), request.id);
    return map;
}

QVariant responseToVariant(const Response &response)
{
    QVariantMap map{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("id"), response.id}};
    if (response.ok)
        map.insert(QStringLiteral("result"), response.result);
    else
        map.insert(QStringLiteral("error"),
                   QVariantMap{{QStringLiteral("code"), response.errorCode},
                               {QStringLiteral("message"), response.errorMessage}});
    return map;
}

namespace {

bool validId(const QVariant &id)
{
    const int type = id.metaType().id();
    return !id.isValid() || type == QMetaType::LongLong || type == QMetaType::QString ||
           type == QMetaType::Int;
}

} // namespace

Request requestFromVariant(const QVariant &message)
{
    if (message.metaType().id() != QMetaType::QVariantMap)
        fail(QStringLiteral("A requisição deve ser um objeto JSON-RPC."), code::InvalidRequest);
    const QVariantMap map = message.toMap();
    if (map.value(QStringLiteral("jsonrpc")) != QStringLiteral("2.0"))
        fail(QStringLiteral("A requisição deve ter \"jsonrpc\": \"2.0\"."), code::InvalidRequest);
    const QVariant method = map.value(QStringLiteral("method"));
    if (method.metaType().id() != QMetaType::QString || method.toString().isEmpty())
        fail(QStringLiteral("A requisição deve ter \"method\" em texto."), code::InvalidRequest);
    Request request;
    request.method = method.toString();
    request.id = map.value(QStringLiteral("id"));
    if (!validId(request.id))
        fail(QStringLiteral("\"id\" deve ser um número inteiro ou um texto."),
             code::InvalidRequest);
    if (map.contains(QStringLiteral("params"))) {
        const QVariant params = map.value(QStringLiteral("params"));
        if (params.metaType().id() != QMetaType::QVariantList)
            fail(QStringLiteral("\"params\" deve ser uma lista posicional."), code::InvalidRequest);
        request.params = params.toList();
    }
    for (auto it = map.keyBegin(); it != map.keyEnd(); ++it)
        if (*it != QLatin1StringView("jsonrpc") && *it != QLatin1StringView("method") &&
            *it != QLatin1StringView("params") && *it != QLatin1StringView("id"))
            fail(QStringLiteral("Membro desconhecido \"%1\" na requisição.").arg(clipped(*it)),
                 code::InvalidRequest);
    return request;
}

Response responseFromVariant(const QVariant &message)
{
    if (message.metaType().id() != QMetaType::QVariantMap)
        fail(QStringLiteral("A resposta deve ser um objeto JSON-RPC."), code::InvalidRequest);
    const QVariantMap map = message.toMap();
    if (map.value(QStringLiteral("jsonrpc")) != QStringLiteral("2.0"))
        fail(QStringLiteral("A resposta deve ter \"jsonrpc\": \"2.0\"."), code::InvalidRequest);
    Response response;
    response.id = map.value(QStringLiteral("id"));
    const bool hasResult = map.contains(QStringLiteral("result"));
    const bool hasError = map.contains(QStringLiteral("error"));
    if (hasResult == hasError)
        fail(QStringLiteral("A resposta deve ter \"result\" ou \"error\"."), code::InvalidRequest);
    if (hasResult) {
        response.ok = true;
        response.result = map.value(QStringLiteral("result"));
        return response;
    }
    const QVariant error = map.value(QStringLiteral("error"));
    if (error.metaType().id() != QMetaType::QVariantMap)
        fail(QStringLiteral("\"error\" deve ser um objeto."), code::InvalidRequest);
    const QVariantMap e = error.toMap();
    const QVariant errorCode = e.value(QStringLiteral("code"));
    const QVariant errorMessage = e.value(QStringLiteral("message"));
    if (errorCode.metaType().id() != QMetaType::LongLong ||
        errorMessage.metaType().id() != QMetaType::QString)
        fail(QStringLiteral("\"error\" deve ter \"code\" inteiro e \"message\" em texto."),
             code::InvalidRequest);
    response.errorCode = int(errorCode.toLongLong());
    response.errorMessage = errorMessage.toString();
    return response;
}

} // namespace quv::wire
