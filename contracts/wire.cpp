#include "wire.h"

#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

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

// ---------------------------------------------------------------- CBOR out

void writePacket(QCborStreamWriter &w, const DataPacket &packet)
{
    w.startMap(2);
    w.append(QLatin1StringView("fields"));
    w.startArray(quint64(packet.fieldCount()));
    for (const FieldDef &field : packet.fields()) {
        w.startMap(2);
        w.append(QLatin1StringView("name"));
        w.append(field.name);
        w.append(QLatin1StringView("size"));
        w.append(qint64(field.size));
        w.endMap();
    }
    w.endArray();
    w.append(QLatin1StringView("rows"));
    const qsizetype rows = packet.rowCount();
    const int columns = packet.fieldCount();
    w.startArray(quint64(rows));
    for (qsizetype r = 0; r < rows; ++r) {
        w.startArray(quint64(columns));
        for (int c = 0; c < columns; ++c) {
            const QByteArrayView cell = packet.utf8(r, c);
            w.appendTextString(cell.data(), cell.size());
        }
        w.endArray();
    }
    w.endArray();
    w.endMap();
}

// ----------------------------------------------------------------- CBOR in

class CborDecoder
{
public:
    explicit CborDecoder(QByteArrayView payload)
        : m_reader(payload.data(), payload.size()), m_limit(payload.size())
    {
    }

    QVariant document()
    {
        QVariant value = read(0);
        if (m_reader.lastError() != QCborError::NoError)
            fail(QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString()));
        if (m_reader.currentOffset() != m_limit)
            fail(QStringLiteral("Dados após o fim da mensagem CBOR."));
        return value;
    }

private:
    void check()
    {
        if (m_reader.lastError() != QCborError::NoError)
            fail(QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString()));
    }

    // Reads a text string's UTF-8 bytes into `out` (replacing its content).
    void readUtf8(QByteArray &out)
    {
        if (!m_reader.isString())
            fail(QStringLiteral("Esperava um texto no CBOR."));
        out.resize(0);
        for (;;) {
            const qsizetype chunk = m_reader.currentStringChunkSize();
            if (chunk < 0 || chunk > m_limit)
                fail(QStringLiteral("Texto CBOR com tamanho inválido."));
            const qsizetype old = out.size();
            out.resize(old + chunk);
            const auto result = m_reader.readStringChunk(out.data() + old, chunk);
            if (result.status == QCborStreamReader::Error)
                fail(QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString()));
            if (result.status == QCborStreamReader::EndOfString) {
                out.resize(old);
                break;
            }
            out.resize(old + result.data);
        }
        if (!QByteArrayView(out).isValidUtf8())
            fail(QStringLiteral("Texto CBOR não é UTF-8 válido."));
    }

    QString readText()
    {
        readUtf8(m_scratch);
        return QString::fromUtf8(m_scratch);
    }

    qint64 readInteger()
    {
        if (!m_reader.isInteger())
            fail(QStringLiteral("Esperava um inteiro no CBOR."));
        if (m_reader.isNegativeInteger()) {
            const QCborNegativeInteger n = m_reader.toNegativeInteger();
            if (quint64(n) > quint64(std::numeric_limits<qint64>::max()))
                fail(QStringLiteral("Inteiro CBOR fora do intervalo."));
            m_reader.next();
            return -qint64(quint64(n));
        }
        const quint64 u = m_reader.toUnsignedInteger();
        if (u > quint64(std::numeric_limits<qint64>::max()))
            fail(QStringLiteral("Inteiro CBOR fora do intervalo."));
        m_reader.next();
        return qint64(u);
    }

    void enter(bool array)
    {
        if (array ? !m_reader.isArray() : !m_reader.isMap())
            fail(array ? QStringLiteral("Esperava uma lista no CBOR.")
                       : QStringLiteral("Esperava um mapa no CBOR."));
        if (!m_reader.enterContainer())
            fail(QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString()));
    }

    void leave()
    {
        if (!m_reader.leaveContainer())
            fail(QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString()));
    }

    QVariant read(int depth)
    {
        if (depth > MaxDepth)
            fail(QStringLiteral("Mensagem CBOR aninhada demais."));
        check();
        switch (m_reader.type()) {
        case QCborStreamReader::UnsignedInteger:
        case QCborStreamReader::NegativeInteger:
            return readInteger();
        case QCborStreamReader::String:
            return readText();
        case QCborStreamReader::Array: {
            QVariantList list;
            enter(true);
            while (m_reader.hasNext()) {
                list.append(read(depth + 1));
                check();
            }
            leave();
            return list;
        }
        case QCborStreamReader::Map:
            return readMap(depth);
        case QCborStreamReader::SimpleType: {
            const QCborSimpleType t = m_reader.toSimpleType();
            m_reader.next();
            switch (t) {
            case QCborSimpleType::False:
                return false;
            case QCborSimpleType::True:
                return true;
            case QCborSimpleType::Null:
            case QCborSimpleType::Undefined:
                return {};
            default:
                fail(QStringLiteral("Tipo simples CBOR não suportado."));
            }
        }
        case QCborStreamReader::Float16: {
            const double v = double(m_reader.toFloat16());
            m_reader.next();
            return v;
        }
        case QCborStreamReader::Float: {
            const double v = double(m_reader.toFloat());
            m_reader.next();
            return v;
        }
        case QCborStreamReader::Double: {
            const double v = m_reader.toDouble();
            m_reader.next();
            return v;
        }
        case QCborStreamReader::ByteArray:
            fail(QStringLiteral("Sequências de bytes CBOR não são aceitas; use texto."));
        case QCborStreamReader::Tag:
            fail(QStringLiteral("Marcas (tags) CBOR não são aceitas."));
        case QCborStreamReader::Invalid:
            break;
        }
        fail(m_reader.lastError() != QCborError::NoError
                 ? QStringLiteral("CBOR inválido: %1").arg(m_reader.lastError().toString())
                 : QStringLiteral("Mensagem CBOR incompleta."));
    }

    QVariant readMap(int depth)
    {
        enter(false);
        QVariantMap map;
        bool first = true;
        while (m_reader.hasNext()) {
            check();
            if (!m_reader.isString())
                fail(QStringLiteral("Chave de mapa CBOR deve ser texto."));
            const QString key = readText();
            if (first && key == FieldsKey)
                return readPacketBody(depth);
            first = false;
            if (!m_reader.hasNext())
                fail(QStringLiteral("Mapa CBOR sem valor para a chave '%1'.").arg(key));
            if (map.contains(key))
                fail(QStringLiteral("Chave '%1' repetida no mapa CBOR.").arg(key));
            map.insert(key, read(depth + 1));
        }
        check();
        leave();
        return map;
    }

    // Called inside a map right after its first key "fields".
    QVariant readPacketBody(int depth)
    {
        if (depth + 2 > MaxDepth)
            fail(QStringLiteral("Mensagem CBOR aninhada demais."));
        QList<FieldDef> fields;
        enter(true);
        while (m_reader.hasNext()) {
            check();
            enter(false);
            FieldDef field;
            bool hasName = false;
            while (m_reader.hasNext()) {
                const QString key = readText();
                if (key == QLatin1StringView("name")) {
                    field.name = readText();
                    hasName = true;
                } else if (key == QLatin1StringView("size")) {
                    const qint64 size = readInteger();
                    if (size < 0 || size > 1'000'000)
                        fail(QStringLiteral("Tamanho inválido do campo '%1'.").arg(field.name));
                    field.size = int(size);
                } else {
                    fail(QStringLiteral("Chave '%1' desconhecida na definição de campo.").arg(key));
                }
            }
            leave();
            if (!hasName || field.name.isEmpty())
                fail(QStringLiteral("Campo de pacote sem nome."));
            fields.append(field);
        }
        leave();

        DataPacket packet = makePacket(std::move(fields));
        if (!m_reader.hasNext() || !m_reader.isString() || readText() != RowsKey)
            fail(QStringLiteral("Pacote de dados sem 'rows' depois de 'fields'."));
        enter(true);
        const int columns = packet.fieldCount();
        while (m_reader.hasNext()) {
            check();
            enter(true);
            int cells = 0;
            while (m_reader.hasNext()) {
                if (cells >= columns)
                    fail(QStringLiteral("Linha %1 do pacote com valores demais (%2 campos).")
                             .arg(packet.rowCount())
                             .arg(columns));
                readUtf8(m_scratch);
                appendCell(packet, QByteArrayView(m_scratch));
                ++cells;
            }
            leave();
            if (cells != columns)
                fail(QStringLiteral("Linha %1 do pacote com %2 valores; esperava %3.")
                         .arg(packet.rowCount())
                         .arg(cells)
                         .arg(columns));
            packet.endRow();
        }
        leave();
        if (m_reader.hasNext())
            fail(QStringLiteral("Pacote de dados com chaves além de 'fields' e 'rows'."));
        leave();
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

    QCborStreamReader m_reader;
    qsizetype m_limit;
    QByteArray m_scratch;
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

QVariant packetFromJson(const QJsonObject &object)
{
    const QJsonValue fieldsValue = object.value(FieldsKey);
    const QJsonValue rowsValue = object.value(RowsKey);
    if (!fieldsValue.isArray() || !rowsValue.isArray())
        fail(QStringLiteral("Pacote de dados: 'fields' e 'rows' devem ser listas."));
    QList<FieldDef> fields;
    for (const QJsonValue &f : fieldsValue.toArray()) {
        const QJsonObject fo = f.toObject();
        const QJsonValue name = fo.value(QStringLiteral("name"));
        const QJsonValue size = fo.value(QStringLiteral("size"));
        if (!f.isObject() || !name.isString() || name.toString().isEmpty())
            fail(QStringLiteral("Campo de pacote sem nome."));
        if (!size.isUndefined() &&
            (!size.isDouble() || size.toDouble() < 0 || size.toDouble() > 1'000'000 ||
             size.toDouble() != double(size.toInt())))
            fail(QStringLiteral("Tamanho inválido do campo '%1'.").arg(name.toString()));
        fields.append({name.toString(), size.toInt()});
    }
    try {
        DataPacket packet(std::move(fields));
        const QJsonArray rows = rowsValue.toArray();
        packet.reserve(rows.size());
        for (qsizetype r = 0; r < rows.size(); ++r) {
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

QVariant fromJson(const QJsonValue &value, int depth)
{
    if (depth > MaxDepth)
        fail(QStringLiteral("Mensagem JSON aninhada demais."));
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
        QVariantList list;
        for (const QJsonValue &item : value.toArray())
            list.append(fromJson(item, depth + 1));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.size() == 2 && object.contains(FieldsKey) && object.contains(RowsKey))
            return packetFromJson(object);
        QVariantMap map;
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), fromJson(it.value(), depth + 1));
        return map;
    }
    }
    return {};
}

} // namespace

// ------------------------------------------------------------------ framing

void FrameReader::feed(QByteArrayView bytes)
{
    if (m_pos > 0 && m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    m_buffer.append(bytes.data(), bytes.size());
    if (buffered() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
        if (length > m_max)
            throw DecodeError(QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.")
                                  .arg(length)
                                  .arg(m_max),
                              code::FrameTooLarge);
    }
}

std::optional<QByteArray> FrameReader::next()
{
    if (buffered() < 4)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
    if (length > m_max)
        throw DecodeError(QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.")
                              .arg(length)
                              .arg(m_max),
                          code::FrameTooLarge);
    if (buffered() < 4 + qsizetype(length))
        return std::nullopt;
    QByteArray payload = m_buffer.mid(m_pos + 4, length);
    m_pos += 4 + qsizetype(length);
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

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 4);
    char header[4];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    out.append(header, 4);
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

void writeCbor(QCborStreamWriter &w, const QVariant &value)
{
    if (!value.isValid() || value.isNull()) {
        w.append(nullptr);
        return;
    }
    if (value.metaType() == QMetaType::fromType<DataPacket>()) {
        writePacket(w, value.value<DataPacket>());
        return;
    }
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        w.append(value.toBool());
        return;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        w.append(value.toLongLong());
        return;
    case QMetaType::Double:
    case QMetaType::Float:
        w.append(value.toDouble());
        return;
    case QMetaType::QString:
        w.append(value.toString());
        return;
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        w.startArray(quint64(list.size()));
        for (const QString &item : list)
            w.append(item);
        w.endArray();
        return;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        w.startArray(quint64(list.size()));
        for (const QVariant &item : list)
            writeCbor(w, item);
        w.endArray();
        return;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        w.startMap(quint64(map.size()));
        for (auto it = map.begin(); it != map.end(); ++it) {
            w.append(it.key());
            writeCbor(w, it.value());
        }
        w.endMap();
        return;
    }
    default:
        throw std::invalid_argument(QStringLiteral("type %1 cannot travel")
                                        .arg(QLatin1StringView(value.typeName()))
                                        .toStdString());
    }
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
    QCborStreamWriter writer(&out);
    writeCbor(writer, value);
    return out;
}

QVariant decode(QByteArrayView payload, Encoding encoding)
{
    if (encoding == Encoding::Json) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(payload.toByteArray(), &error);
        if (error.error != QJsonParseError::NoError)
            fail(QStringLiteral("JSON inválido na posição %1: %2")
                     .arg(error.offset)
                     .arg(error.errorString()));
        if (doc.isObject())
            return fromJson(doc.object(), 0);
        return fromJson(doc.array(), 0);
    }
    return CborDecoder(payload).document();
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
            fail(QStringLiteral("Membro desconhecido \"%1\" na requisição.").arg(*it),
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
