#pragma once

// The grants file that quv-admin exports and imports: JSON, one item per
// line in a stable order so that two exports diff cleanly, with a format
// name and version. docs/grants-file.schema.json describes it.
//
//   {
//     "format": "quv-access-grants",
//     "version": 1,
//     "principals": [
//       {
//         "key": "G01",
//         "name": "Diretoria",
//         "facts": [
//           {"table": "FATOVENDA", "item": "VLVENDA", "name": "Valor da Venda"}
//         ],
//         "dimensions": [
//           {"number": 1, "name": "Cliente"},
//           {"number": 4, "name": "Região", "filter": [
//             "N",
//             "NE"
//           ]}
//         ]
//       }
//     ]
//   }
//
// Names are for people and are not read back. A dimension without "filter"
// (or with an empty one) shows every value.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <stdexcept>

class QIODevice;

namespace quv::admin {

inline const QString GrantFileFormat = QStringLiteral("quv-access-grants");
inline constexpr int GrantFileVersion = 1;
/// The longest filter value the server stores, in characters.
inline constexpr int MaxFilterValue = 50;

/// One principal's grants as the file holds them, with the line each item
/// starts on (1-based) for messages.
struct FilePrincipal
{
    struct Fact
    {
        QString table;
        QString item;
        QString name;
        qint64 line = 0;
    };
    struct Value
    {
        QString value;
        qint64 line = 0;
    };
    struct Dimension
    {
        int number = 0;
        QString name;
        QList<Value> filter;
        qint64 line = 0;
    };

    QString key;
    QString name;
    QList<Fact> facts;
    QList<Dimension> dimensions;
    qint64 line = 0;
};

/// Writes the file as it goes: the header, each principal in the order
/// given, then the end. The caller keeps the order stable.
class GrantFileWriter
{
public:
    explicit GrantFileWriter(QIODevice &out);
    void writePrincipal(const FilePrincipal &principal);
    /// Closes the list and the document; raises std::runtime_error when the
    /// device failed at any point.
    void finish();

private:
    void write(const QByteArray &bytes);

    QIODevice &m_out;
    bool m_first = true;
    bool m_failed = false;
};

/// A file that is not a grants file this program reads: where, and why.
class GrantFileError : public std::runtime_error
{
public:
    GrantFileError(qint64 line, qint64 column, const QString &message)
        : std::runtime_error(message.toStdString()), m_line(line), m_column(column),
          m_message(message)
    {
    }
    qint64 line() const { return m_line; }
    qint64 column() const { return m_column; }
    const QString &message() const { return m_message; }

private:
    qint64 m_line;
    qint64 m_column;
    QString m_message;
};

/// Reads a grants file from start to end without holding it whole, handing
/// each principal over as soon as it is complete. Any JSON layout is read;
/// keys may come in any order. Raises GrantFileError at the first problem:
/// malformed JSON or UTF-8, a missing, unknown or repeated key, a value of
/// the wrong type, another format or version, a malformed principal key,
/// an empty or too long filter value. Catalogue checks (unknown principals,
/// items, dimensions) are the server's.
void readGrantFile(const QString &path, const std::function<void(const FilePrincipal &)> &sink);

} // namespace quv::admin
