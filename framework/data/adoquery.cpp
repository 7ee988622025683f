#include "framework/data/adoquery.h"

#include "framework/app/utils.h"
#include "framework/data/dbgeral.h"

namespace {

struct Positional
{
    QString sql;
    QStringList names; // one entry per placeholder, in order
};

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}
bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// Values always travel as bound parameters: the statement is rewritten only to
// turn ":NAME" into the driver-neutral "?", skipping quoted text, quoted
// identifiers and "::" casts, where a colon is not a placeholder. Comments
// are dropped: Qt's own placeholder scan does not know them and would take a
// colon in a comment for a parameter.
Positional toPositional(const QString &sql)
{
    Positional out;
    out.sql.reserve(sql.size());
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql[i];
        const QChar next = i + 1 < n ? sql[i + 1] : QChar();
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            qsizetype j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) { // doubled quote inside
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            const qsizetype end = qMin(j + 1, n);
            out.sql += QStringView(sql).mid(i, end - i);
            i = end;
        } else if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
            const qsizetype j = sql.indexOf(QLatin1Char('\n'), i);
            i = j < 0 ? n : j;
        } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
            const qsizetype j = sql.indexOf(QLatin1String("*/"), i + 2);
            out.sql += QLatin1Char(' ');
            i = j < 0 ? n : j + 2;
        } else if (c == QLatin1Char(':') && next == QLatin1Char(':')) {
            out.sql += QLatin1String("::");
            i += 2;
        } else if (c == QLatin1Char(':') && isNameStart(next)) {
            qsizetype j = i + 1;
            while (j < n && isNameChar(sql[j]))
                ++j;
            out.names.append(sql.mid(i + 1, j - i - 1));
            out.sql += QLatin1Char('?');
            i = j;
        } else {
            out.sql += c;
            ++i;
        }
    }
    return out;
}

QString queryName(const TDataSet *query)
{
    return query->objectName().isEmpty() ? QStringLiteral("TADOIBQuery") : query->objectName();
}

const QString ReadFailed =
    QStringLiteral("Não foi possível ler os dados do banco de dados compartilhado. Verifique se "
                   "ele está disponível e tente de novo.");
const QString NotOpen =
    QStringLiteral("O banco de dados compartilhado não está aberto. Verifique a configuração do "
                   "banco de dados e reinicie o QUV.");
const QString Misused =
    QStringLiteral("Erro interno da tela ao consultar o banco de dados compartilhado. Avise o "
                   "suporte do QUV.");

// The user reads what failed and what to do; the query's name and the
// driver's words go to the details.
[[noreturn]] void fail(const TDataSet *query, const QString &message,
                       const QString &forUser = ReadFailed)
{
    throw EDatabaseError(forUser, queryName(query) + QStringLiteral(": ") + message);
}

} // namespace

TADOIBQuery::TADOIBQuery(QObject *owner) : TDataSet(owner) {}

TADOIBQuery::~TADOIBQuery() = default;

QStringList TADOIBQuery::ParamNames() const
{
    QStringList names;
    for (const QString &name : toPositional(SQL.join(QLatin1Char('\n'))).names)
        if (!names.contains(name, Qt::CaseInsensitive))
            names.append(name);
    return names;
}

TParam *TADOIBQuery::ParamByName(const QString &name)
{
    const QStringList names = ParamNames();
    qsizetype index = -1;
    for (qsizetype i = 0; i < names.size() && index < 0; ++i)
        if (names[i].compare(name, Qt::CaseInsensitive) == 0)
            index = i;
    if (index < 0)
        fail(this, QStringLiteral("parâmetro %1 não encontrado.").arg(name), Misused);
    std::unique_ptr<TParam> &param = m_params[name.toUpper()];
    if (!param)
        param = std::make_unique<TParam>(names[index]);
    return param.get();
}

std::shared_ptr<TRowFeed> TADOIBQuery::OpenFeed()
{
    if (!dtmDBGeral || !dtmDBGeral->Connected())
        fail(this, QStringLiteral("o banco de dados geral não está conectado."), NotOpen);
    const QString text = SQL.join(QLatin1Char('\n'));
    if (EmptyString(text))
        fail(this, QStringLiteral("consulta sem comando SQL."), Misused);

    const Positional statement = toPositional(text);
    TRowFeed::Request request;
    request.sql = statement.sql;
    for (const QString &name : statement.names) {
        const auto found = m_params.find(name.toUpper());
        if (found == m_params.end() || found->second->IsNull())
            request.binds.append(QVariant(QMetaType::fromType<QString>()));
        else
            request.binds.append(found->second->Value());
    }
    // Declared fields are read straight into their own layout, each value
    // checked against its field's size, so the rows are never reshaped.
    request.layout = DeclaredLayout();
    request.firstRows = FirstRows;
    std::shared_ptr<TRowFeed> feed = TRowFeed::Start(dtmDBGeral->adcGeral(), request);
    if (feed->state() == TRowFeed::State::Failed)
        fail(this, feed->ErrorText());
    return feed;
}

quv::DataPacket TADOIBQuery::OpenRows()
{
    const std::shared_ptr<TRowFeed> feed = OpenFeed();
    feed->FetchAll();
    if (feed->state() != TRowFeed::State::Done)
        fail(this, feed->ErrorText());
    return feed->Rows();
}
