#include "framework/data/dataset.h"

#include "framework/data/rowfeed.h"

#include <QAnyStringView>
#include <QScopeGuard>
#include <QSet>
#include <QUtf8StringView>

#include <utility>

namespace {

QString dataSetName(const TDataSet *dataSet)
{
    const QString name = dataSet->objectName();
    return name.isEmpty() ? QString::fromLatin1(dataSet->metaObject()->className()) : name;
}

// A dataset fails only when a screen misuses it: the user can do nothing
// about it but report it, and the component's name is for whoever fixes it.
[[noreturn]] void fail(const TDataSet *dataSet, const QString &message)
{
    throw EDatabaseError(QStringLiteral("Erro interno da tela ao tratar os dados. Avise o suporte "
                                        "do QUV."),
                         dataSetName(dataSet) + QStringLiteral(": ") + message);
}

// A background read that stopped short: the database went away or the read
// was stopped, which the user can act on, unlike a screen's misuse.
[[noreturn]] void failRead(const TDataSet *dataSet, const QString &message)
{
    throw EDatabaseError(QStringLiteral("Não foi possível ler os dados do banco de dados "
                                        "compartilhado. Verifique se ele está disponível e tente "
                                        "de novo."),
                         dataSetName(dataSet) + QStringLiteral(": ") + message);
}

// The packet counts code points, so the fields count the same way: a value
// the field accepts is always a value the packet accepts.
qsizetype characterCount(const QString &value)
{
    qsizetype count = 0;
    for (QChar c : value)
        if (!c.isLowSurrogate())
            ++count;
    return count;
}

} // namespace

// ------------------------------------------------------------------ Private

struct TDataSet::Private
{
    explicit Private(TDataSet *owner) : q(owner) {}

    TDataSet *q;

    // Rows: `rows` holds the data fields, `calc` the calculated fields, each
    // in field order; both have the same row count while the dataset is open.
    // While the dataset follows a background load, the data fields are the
    // load's own packet (shared with every dataset that follows it, never
    // copied) and `rows` is empty.
    quv::DataPacket rows;
    std::shared_ptr<TRowFeed> feed;
    QList<QMetaObject::Connection> feedConnections;
    quv::DataPacket calc;
    qsizetype current = -1;

    // Per field (by index in m_fields): its column in `rows` or `calc`.
    QList<int> slot;
    int dataCount = 0;
    int calcCount = 0;

    // Fields taken from a packet rather than declared; replaced wholesale when
    // a packet of another layout arrives.
    QSet<const TField *> adopted;
    bool adopting = false;

    // The record being inserted or edited.
    QStringList editData;
    QStringList editCalc;
    qsizetype insertAt = -1;

    // The record being calculated: row `calcRow` of `calcSource`, or the edit
    // buffer when calcSource is null.
    const quv::DataPacket *calcSource = nullptr;
    qsizetype calcRow = -1;
    QStringList calcValues;

    QList<QPointer<TDataSource>> sources;

    void rebuildSlots()
    {
        slot.clear();
        dataCount = 0;
        calcCount = 0;
        for (const TField *field : std::as_const(q->m_fields))
            slot.append(field->FieldKind() == TFieldKind::Data ? dataCount++ : calcCount++);
    }

    const quv::DataPacket &data() const { return feed ? feed->Rows() : rows; }
    qsizetype count() const { return data().rowCount(); }

    int slotOf(const TField *field) const
    {
        const qsizetype index = q->m_fields.indexOf(const_cast<TField *>(field));
        return index < 0 ? -1 : slot[index];
    }

    QList<quv::FieldDef> defs(TFieldKind kind) const
    {
        QList<quv::FieldDef> out;
        for (const TField *field : std::as_const(q->m_fields))
            if (field->FieldKind() == kind)
                out.append({field->FieldName(), field->Size()});
        return out;
    }

    bool hasDeclaredFields() const
    {
        for (const TField *field : std::as_const(q->m_fields))
            if (!adopted.contains(field))
                return true;
        return false;
    }

    QString cell(qsizetype row, const TField *field) const
    {
        const int s = slotOf(field);
        if (s < 0 || row < 0 || row >= count())
            return {};
        if (field->FieldKind() == TFieldKind::Data)
            return data().value(row, s);
        return calcCount > 0 ? calc.value(row, s) : QString();
    }

    QByteArrayView cellUtf8(qsizetype row, const TField *field) const
    {
        const int s = slotOf(field);
        if (field->FieldKind() == TFieldKind::Data)
            return data().utf8(row, s);
        return calc.utf8(row, s);
    }

    // --- events

    void notifyData(TField *field)
    {
        const auto list = sources;
        for (const QPointer<TDataSource> &source : list)
            if (source && source->OnDataChange)
                source->OnDataChange(source, field);
    }

    void notifyState()
    {
        emit q->stateChanged();
        const auto list = sources;
        for (const QPointer<TDataSource> &source : list)
            if (source && source->OnStateChange)
                source->OnStateChange(source);
    }

    void setState(TDataSetState state)
    {
        if (q->m_state == state)
            return;
        q->m_state = state;
        notifyState();
    }

    // Moves the cursor; the scroll events fire only when the record changes.
    void moveTo(qsizetype row, bool bof, bool eof)
    {
        const bool changed = row != current;
        current = row;
        q->m_bof = bof;
        q->m_eof = eof;
        if (!changed)
            return;
        emit q->currentChanged(row);
        notifyData(nullptr);
        if (q->AfterScroll)
            q->AfterScroll(q);
    }

    // --- checks

    void checkActive() const
    {
        if (q->m_state == TDataSetState::Inactive)
            fail(q, QStringLiteral("operação não permitida com o conjunto de dados fechado."));
    }

    void checkNotCalculating() const
    {
        if (q->m_state == TDataSetState::CalcFields)
            fail(q, QStringLiteral("operação não permitida durante o cálculo de campos."));
    }

    // Moving or searching leaves insert and edit mode by posting, as a user
    // who leaves a changed row expects the change kept.
    void checkBrowse()
    {
        checkActive();
        checkNotCalculating();
        if (q->m_state == TDataSetState::Insert || q->m_state == TDataSetState::Edit)
            q->Post();
    }

    // --- calculation

    void calculate(const quv::DataPacket *source, qsizetype row)
    {
        calcValues.fill(QString(), calcCount);
        const TDataSetState saved = q->m_state;
        q->m_state = TDataSetState::CalcFields;
        calcSource = source;
        calcRow = row;
        const auto restore = qScopeGuard([this, saved] {
            q->m_state = saved;
            calcSource = nullptr;
            calcRow = -1;
        });
        if (q->OnCalcFields)
            q->OnCalcFields(q);
    }

    // Calculates rows [from, data.rowCount()) of `data` onto `out`.
    void calculateInto(quv::DataPacket &out, const quv::DataPacket &data, qsizetype from)
    {
        if (calcCount == 0)
            return;
        const qsizetype count = data.rowCount();
        for (qsizetype r = from; r < count; ++r) {
            calculate(&data, r);
            for (const QString &value : std::as_const(calcValues))
                out.appendCell(value);
            out.endRow();
        }
    }

    quv::DataPacket calculateAll(const quv::DataPacket &data)
    {
        quv::DataPacket out(defs(TFieldKind::Calculated));
        out.reserve(calcCount > 0 ? data.rowCount() : 0);
        calculateInto(out, data, 0);
        return out;
    }

    // --- following a background load

    void unfollow()
    {
        for (const QMetaObject::Connection &c : std::as_const(feedConnections))
            QObject::disconnect(c);
        feedConnections.clear();
        feed.reset();
    }

    void follow(const std::shared_ptr<TRowFeed> &from)
    {
        unfollow();
        feed = from;
        if (!feed->Loading())
            return;
        feedConnections = {
            QObject::connect(feed.get(), &TRowFeed::rowsArrived, q,
                             [this](qsizetype first, qsizetype added) {
                                 calculateInto(calc, data(), calc.rowCount());
                                 emit q->rowsAppended(first, added);
                             }),
            QObject::connect(feed.get(), &TRowFeed::ended, q, [this] { emit q->fetchEnded(); }),
        };
    }

    bool fetching() const { return feed && feed->Loading(); }

    // Raises when rows that are needed never came.
    void checkComplete() const
    {
        if (feed &&
            (feed->state() == TRowFeed::State::Failed || feed->state() == TRowFeed::State::Stopped))
            failRead(q,
                     QStringLiteral("nem todas as linhas foram lidas: %1").arg(feed->ErrorText()));
    }

    void fetchTo(qsizetype wanted)
    {
        if (fetching())
            feed->FetchTo(wanted);
    }

    void fetchAll()
    {
        if (fetching())
            feed->FetchAll();
        checkComplete();
    }

    // Editing works on a packet of the dataset's own: every row first.
    void settle()
    {
        if (!feed)
            return;
        fetchAll();
        rows = feed->Rows();
        unfollow();
    }

    // --- loading

    // The packet reshaped to the declared data fields, matched by name. Shares
    // the packet when it already has exactly that layout.
    quv::DataPacket conform(const quv::DataPacket &packet) const
    {
        const QList<quv::FieldDef> wanted = defs(TFieldKind::Data);
        if (packet.fields() == wanted)
            return packet;
        QList<int> source;
        for (const quv::FieldDef &def : wanted) {
            int index = packet.indexOf(def.name);
            if (index < 0) {
                for (int c = 0; c < packet.fieldCount(); ++c)
                    if (packet.fields()[c].name.compare(def.name, Qt::CaseInsensitive) == 0) {
                        index = c;
                        break;
                    }
            }
            if (index < 0)
                fail(q, QStringLiteral("o campo %1 não existe no pacote de dados.").arg(def.name));
            source.append(index);
        }
        quv::DataPacket out(wanted);
        const qsizetype count = packet.rowCount();
        out.reserve(count);
        try {
            for (qsizetype r = 0; r < count; ++r) {
                for (int index : std::as_const(source))
                    out.appendCell(packet.utf8(r, index));
                out.endRow();
            }
        } catch (const quv::PacketError &error) {
            fail(q, QString::fromUtf8(error.what()));
        }
        return out;
    }

    bool adoptedLayoutMatches(const QList<quv::FieldDef> &fields) const
    {
        if (q->m_fields.size() != fields.size())
            return false;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const TField *field = q->m_fields[i];
            if (field->FieldName() != fields[i].name || field->Size() != fields[i].size)
                return false;
        }
        return true;
    }

    void adoptFields(const QList<quv::FieldDef> &fields)
    {
        const QList<TField *> old = q->m_fields;
        q->m_fields.clear();
        adopted.clear();
        qDeleteAll(old);
        adopting = true;
        const auto done = qScopeGuard([this] { adopting = false; });
        for (const quv::FieldDef &def : fields)
            adopted.insert(new TField(q, def.name, def.size));
        rebuildSlots();
    }

    void dropAdoptedFields()
    {
        if (adopted.isEmpty())
            return;
        QList<TField *> gone;
        for (TField *field : std::as_const(q->m_fields))
            if (adopted.contains(field))
                gone.append(field);
        for (TField *field : std::as_const(gone))
            q->m_fields.removeOne(field);
        adopted.clear();
        qDeleteAll(gone);
        rebuildSlots();
    }
};

// ------------------------------------------------------------------ TField

TField::TField(TDataSet *dataSet, const QString &fieldName, int size, TFieldKind kind)
    : QObject(dataSet), m_dataSet(dataSet), m_fieldName(fieldName), m_size(size), m_kind(kind)
{
    setObjectName(fieldName);
    if (!dataSet)
        return;
    if (fieldName.trimmed().isEmpty())
        fail(dataSet, QStringLiteral("campo sem nome."));
    if (size < 0)
        fail(dataSet, QStringLiteral("o campo %1 tem tamanho negativo.").arg(fieldName));
    if (!dataSet->p->adopting) {
        if (dataSet->Active())
            fail(dataSet,
                 QStringLiteral("o campo %1 não pode ser criado com o conjunto de dados aberto.")
                     .arg(fieldName));
        dataSet->p->dropAdoptedFields();
        for (const TField *other : std::as_const(dataSet->m_fields))
            if (other->FieldName().compare(fieldName, Qt::CaseInsensitive) == 0)
                fail(dataSet, QStringLiteral("o campo %1 já existe.").arg(fieldName));
    }
    dataSet->m_fields.append(this);
    dataSet->p->rebuildSlots();
}

QString TField::DisplayLabel() const
{
    return m_displayLabel.isEmpty() ? m_fieldName : m_displayLabel;
}

int TField::Index() const
{
    return m_dataSet ? int(m_dataSet->m_fields.indexOf(const_cast<TField *>(this))) : -1;
}

QString TField::AsString() const
{
    if (!m_dataSet)
        return {};
    const TDataSet::Private &d = *m_dataSet->p;
    const int s = d.slotOf(this);
    if (s < 0)
        return {};
    switch (m_dataSet->m_state) {
    case TDataSetState::Inactive:
        return {};
    case TDataSetState::CalcFields:
        if (m_kind == TFieldKind::Calculated)
            return d.calcValues.value(s);
        return d.calcSource ? d.calcSource->value(d.calcRow, s) : d.editData.value(s);
    case TDataSetState::Insert:
    case TDataSetState::Edit:
        return m_kind == TFieldKind::Data ? d.editData.value(s) : d.editCalc.value(s);
    case TDataSetState::Browse:
        return d.cell(d.current, this);
    }
    return {};
}

void TField::setAsString(const QString &value)
{
    if (!m_dataSet)
        throw EDatabaseError(
            QStringLiteral("O campo %1 não pertence a um conjunto de dados.").arg(m_fieldName));
    TDataSet::Private &d = *m_dataSet->p;
    const int s = d.slotOf(this);
    const TDataSetState state = m_dataSet->m_state;
    if (m_size > 0 && characterCount(value) > m_size)
        fail(m_dataSet, QStringLiteral("o valor '%1' excede o tamanho %2 do campo %3.")
                            .arg(value)
                            .arg(m_size)
                            .arg(m_fieldName));
    if (m_kind == TFieldKind::Calculated) {
        if (state != TDataSetState::CalcFields)
            fail(m_dataSet, QStringLiteral("o campo calculado %1 só pode ser alterado no cálculo.")
                                .arg(m_fieldName));
        d.calcValues[s] = value;
        return;
    }
    if (state != TDataSetState::Insert && state != TDataSetState::Edit)
        fail(m_dataSet, QStringLiteral("o campo %1 só pode ser alterado em edição ou inserção.")
                            .arg(m_fieldName));
    d.editData[s] = value;
    emit m_dataSet->recordChanged(m_dataSet->RecNo() - 1);
    d.notifyData(this);
}

// ------------------------------------------------------------------ TDataSet

TDataSet::TDataSet(QObject *owner) : QObject(owner), p(std::make_unique<Private>(this)) {}

TDataSet::~TDataSet()
{
    p->unfollow();
    // Fields are children, but they must go while the storage they read is
    // still here.
    const QList<TField *> fields = std::exchange(m_fields, {});
    p->adopted.clear();
    qDeleteAll(fields);
}

TField *TDataSet::AddField(const QString &name, int size, TFieldKind kind)
{
    return new TField(this, name, size, kind);
}

TField *TDataSet::FindField(const QString &name) const
{
    for (TField *field : m_fields)
        if (field->FieldName() == name)
            return field;
    for (TField *field : m_fields)
        if (field->FieldName().compare(name, Qt::CaseInsensitive) == 0)
            return field;
    return nullptr;
}

TField *TDataSet::FieldByName(const QString &name) const
{
    if (TField *field = FindField(name))
        return field;
    fail(this, QStringLiteral("campo %1 não encontrado.").arg(name));
}

void TDataSet::setActive(bool active)
{
    if (active == Active())
        return;
    p->checkNotCalculating();
    if (active) {
        if (const std::shared_ptr<TRowFeed> feed = OpenFeed())
            LoadFeed(feed);
        else
            LoadRows(OpenRows());
        return;
    }
    ClosingRows();
    p->unfollow();
    p->editData.clear();
    p->editCalc.clear();
    p->rows = quv::DataPacket();
    p->calc = quv::DataPacket();
    p->current = -1;
    m_bof = true;
    m_eof = true;
    emit dataSetChanged();
    p->setState(TDataSetState::Inactive);
    if (AfterClose)
        AfterClose(this);
}

void TDataSet::LoadRows(quv::DataPacket rows)
{
    p->checkNotCalculating();
    const bool wasActive = Active();

    // Everything that can fail happens before the old content is touched.
    quv::DataPacket data;
    if (p->hasDeclaredFields()) {
        data = p->conform(rows);
    } else {
        if (!p->adoptedLayoutMatches(rows.fields()))
            p->adoptFields(rows.fields());
        data = std::move(rows);
    }
    quv::DataPacket calc = p->calculateAll(data);

    p->unfollow();
    p->editData.clear();
    p->editCalc.clear();
    p->rows = std::move(data);
    p->calc = std::move(calc);
    announceLoad(wasActive);
}

void TDataSet::LoadFeed(const std::shared_ptr<TRowFeed> &feed)
{
    p->checkNotCalculating();
    if (!feed)
        fail(this, QStringLiteral("carga de linhas inexistente."));
    if (feed->state() == TRowFeed::State::Failed || feed->state() == TRowFeed::State::Stopped)
        failRead(this, feed->ErrorText());
    const quv::DataPacket &rows = feed->Rows();
    if (p->hasDeclaredFields() && rows.fields() != p->defs(TFieldKind::Data)) {
        // Another layout needs a packet of its own: every row, then reshaped.
        feed->FetchAll();
        if (feed->state() != TRowFeed::State::Done)
            failRead(this, feed->ErrorText());
        LoadRows(feed->Rows());
        return;
    }
    const bool wasActive = Active();
    if (!p->hasDeclaredFields() && !p->adoptedLayoutMatches(rows.fields()))
        p->adoptFields(rows.fields());
    quv::DataPacket calc = p->calculateAll(rows);

    p->editData.clear();
    p->editCalc.clear();
    p->rows = quv::DataPacket();
    p->calc = std::move(calc);
    p->follow(feed);
    announceLoad(wasActive);
}

void TDataSet::announceLoad(bool wasActive)
{
    const qsizetype count = p->count();
    p->current = count > 0 ? 0 : -1;
    m_bof = true;
    m_eof = count == 0;

    emit dataSetChanged();
    p->setState(TDataSetState::Browse);
    emit currentChanged(p->current);
    p->notifyData(nullptr);
    if (!wasActive && AfterOpen)
        AfterOpen(this);
    if (count > 0 && AfterScroll)
        AfterScroll(this);
}

qsizetype TDataSet::RecordCount() const
{
    if (!Active())
        return 0;
    p->fetchAll();
    return p->count();
}

qsizetype TDataSet::FetchedCount() const
{
    return Active() ? p->count() : 0;
}

const quv::DataPacket &TDataSet::FetchedData() const
{
    return p->data();
}

bool TDataSet::Fetching() const
{
    return p->fetching();
}

void TDataSet::FetchAll()
{
    p->fetchAll();
}

void TDataSet::StopFetching()
{
    if (p->fetching())
        p->feed->Stop();
}

std::shared_ptr<TRowFeed> TDataSet::Feed() const
{
    return p->feed;
}

QList<quv::FieldDef> TDataSet::DeclaredLayout() const
{
    return p->hasDeclaredFields() ? p->defs(TFieldKind::Data) : QList<quv::FieldDef>();
}

qsizetype TDataSet::RecNo() const
{
    if (m_state == TDataSetState::Insert)
        return p->insertAt + 1;
    return p->current + 1;
}

void TDataSet::setRecNo(qsizetype recNo)
{
    p->checkBrowse();
    p->fetchTo(recNo);
    if (recNo > p->count())
        p->checkComplete();
    if (recNo < 1 || recNo > p->count())
        fail(this, QStringLiteral("registro %1 inexistente (há %2).").arg(recNo).arg(p->count()));
    p->moveTo(recNo - 1, false, false);
}

void TDataSet::First()
{
    p->checkBrowse();
    if (IsEmpty()) {
        m_bof = m_eof = true;
        return;
    }
    p->moveTo(0, true, false);
}

void TDataSet::Last()
{
    p->checkBrowse();
    p->fetchAll();
    if (IsEmpty()) {
        m_bof = m_eof = true;
        return;
    }
    p->moveTo(p->count() - 1, false, true);
}

void TDataSet::Next()
{
    MoveBy(1);
}

void TDataSet::Prior()
{
    MoveBy(-1);
}

void TDataSet::MoveBy(qsizetype distance)
{
    p->checkBrowse();
    if (IsEmpty()) {
        m_bof = m_eof = true;
        return;
    }
    if (distance == 0)
        return;
    const qsizetype target = p->current + distance;
    if (target >= p->count()) {
        p->fetchTo(target + 1);
        if (target >= p->count())
            p->checkComplete();
    }
    const qsizetype last = p->count() - 1;
    if (target > last)
        p->moveTo(last, false, true);
    else if (target < 0)
        p->moveTo(0, true, false);
    else
        p->moveTo(target, false, false);
}

bool TDataSet::Locate(const QString &keyFields, const QVariant &keyValues, TLocateOptions options)
{
    p->checkBrowse();
    QList<TField *> fields;
    for (const QString &name : keyFields.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!name.trimmed().isEmpty())
            fields.append(FieldByName(name.trimmed()));
    }
    if (fields.isEmpty())
        fail(this, QStringLiteral("Locate sem campos de chave."));

    QStringList keys;
    if (keyValues.metaType().id() == QMetaType::QVariantList) {
        for (const QVariant &value : keyValues.toList())
            keys.append(value.toString());
    } else if (keyValues.metaType().id() == QMetaType::QStringList) {
        keys = keyValues.toStringList();
    } else {
        keys.append(keyValues.toString());
    }
    if (keys.size() != fields.size())
        fail(this, QStringLiteral("Locate com %1 campos de chave e %2 valores.")
                       .arg(fields.size())
                       .arg(keys.size()));

    QList<QByteArray> utf8Keys;
    for (const QString &key : std::as_const(keys))
        utf8Keys.append(key.toUtf8());
    const bool caseless = options.testFlag(TLocateOption::CaseInsensitive);
    const bool partial = options.testFlag(TLocateOption::PartialKey);

    const auto matches = [&](QByteArrayView cell, qsizetype k) {
        const QByteArrayView key(utf8Keys[k]);
        if (!caseless)
            return partial ? cell.startsWith(key) : cell == key;
        if (partial)
            return QString::fromUtf8(cell).startsWith(keys[k], Qt::CaseInsensitive);
        return QAnyStringView::compare(QUtf8StringView(cell), keys[k], Qt::CaseInsensitive) == 0;
    };

    // Rows that are here are searched first; a load still under way is
    // waited for only as far as the search goes.
    qsizetype row = 0;
    for (;;) {
        const qsizetype count = p->count();
        for (; row < count; ++row) {
            bool all = true;
            for (qsizetype k = 0; k < fields.size() && all; ++k)
                all = matches(p->cellUtf8(row, fields[k]), k);
            if (all) {
                p->moveTo(row, false, false);
                return true;
            }
        }
        if (!p->fetching() || !p->feed->FetchMore())
            break;
    }
    p->checkComplete();
    return false;
}

void TDataSet::Insert()
{
    p->checkBrowse();
    p->settle();
    p->editData = QStringList(p->dataCount, QString());
    p->editCalc = QStringList(p->calcCount, QString());
    p->insertAt = p->current >= 0 ? p->current : 0;
    p->setState(TDataSetState::Insert);
    p->notifyData(nullptr);
}

void TDataSet::Append()
{
    p->checkBrowse();
    p->settle();
    p->editData = QStringList(p->dataCount, QString());
    p->editCalc = QStringList(p->calcCount, QString());
    p->insertAt = RecordCount();
    p->setState(TDataSetState::Insert);
    p->notifyData(nullptr);
}

void TDataSet::Edit()
{
    p->checkActive();
    p->checkNotCalculating();
    if (m_state == TDataSetState::Insert || m_state == TDataSetState::Edit)
        return;
    if (IsEmpty()) {
        Insert();
        return;
    }
    p->settle();
    p->editData = p->rows.row(p->current);
    p->editCalc = p->calcCount > 0 ? p->calc.row(p->current) : QStringList();
    p->setState(TDataSetState::Edit);
}

void TDataSet::Post()
{
    p->checkNotCalculating();
    if (m_state != TDataSetState::Insert && m_state != TDataSetState::Edit)
        fail(this, QStringLiteral("Post sem registro em edição ou inserção."));
    const bool inserting = m_state == TDataSetState::Insert;

    p->calculate(nullptr, -1);
    quv::DataPacket rows = p->rows;
    quv::DataPacket calc = p->calc;
    try {
        if (inserting) {
            rows.insertRow(p->insertAt, p->editData);
            if (p->calcCount > 0)
                calc.insertRow(p->insertAt, p->calcValues);
        } else {
            rows.setRow(p->current, p->editData);
            if (p->calcCount > 0)
                calc.setRow(p->current, p->calcValues);
        }
    } catch (const quv::PacketError &error) {
        fail(this, QString::fromUtf8(error.what()));
    }

    p->rows = std::move(rows);
    p->calc = std::move(calc);
    p->editData.clear();
    p->editCalc.clear();
    if (inserting) {
        emit dataSetChanged();
        p->setState(TDataSetState::Browse);
        p->current = -1; // the posted row is a new record even at the same index
        p->moveTo(p->insertAt, false, false);
    } else {
        emit recordChanged(p->current);
        p->setState(TDataSetState::Browse);
        p->notifyData(nullptr);
    }
}

void TDataSet::Cancel()
{
    p->checkNotCalculating();
    if (m_state != TDataSetState::Insert && m_state != TDataSetState::Edit)
        return;
    p->editData.clear();
    p->editCalc.clear();
    p->setState(TDataSetState::Browse);
    p->notifyData(nullptr);
}

void TDataSet::Delete()
{
    p->checkActive();
    p->checkNotCalculating();
    if (m_state == TDataSetState::Insert) {
        Cancel();
        return;
    }
    if (IsEmpty())
        fail(this, QStringLiteral("não há registro para excluir."));
    p->settle();
    const qsizetype row = p->current;
    quv::DataPacket rows = p->rows;
    quv::DataPacket calc = p->calc;
    rows.removeRow(row);
    if (p->calcCount > 0)
        calc.removeRow(row);

    p->rows = std::move(rows);
    p->calc = std::move(calc);
    p->editData.clear();
    p->editCalc.clear();
    const qsizetype count = p->rows.rowCount();
    emit dataSetChanged();
    p->setState(TDataSetState::Browse);
    p->current = -1; // whatever lands under the cursor is another record
    if (count == 0) {
        m_bof = m_eof = true;
        emit currentChanged(-1);
        p->notifyData(nullptr);
        return;
    }
    p->moveTo(qMin(row, count - 1), false, false);
}

quv::DataPacket TDataSet::Data() const
{
    if (!Active())
        return quv::DataPacket(p->defs(TFieldKind::Data));
    p->fetchAll();
    return p->data();
}

QString TDataSet::CellText(qsizetype row, const TField *field) const
{
    if (!field || field->DataSet() != this || !Active())
        return {};
    return p->cell(row, field);
}

// ------------------------------------------------------------------ TClientDataSet

void TClientDataSet::SetData(const QVariant &packet)
{
    if (packet.metaType() == QMetaType::fromType<TRowFeedRef>()) {
        LoadFeed(packet.value<TRowFeedRef>().feed);
        return;
    }
    if (packet.metaType() != QMetaType::fromType<quv::DataPacket>())
        fail(this, QStringLiteral("o valor recebido não é um pacote de dados (%1).")
                       .arg(packet.isValid() ? QString::fromLatin1(packet.typeName())
                                             : QStringLiteral("vazio")));
    SetData(packet.value<quv::DataPacket>());
}

void TClientDataSet::SetData(const quv::DataPacket &packet)
{
    LoadRows(packet);
}

void TClientDataSet::CreateDataSet()
{
    if (Fields().isEmpty())
        fail(this, QStringLiteral("CreateDataSet sem campos declarados."));
    LoadRows(OpenRows());
}

quv::DataPacket TClientDataSet::OpenRows()
{
    if (Fields().isEmpty())
        fail(this, QStringLiteral("sem campos nem pacote de dados para abrir."));
    QList<quv::FieldDef> defs;
    for (const TField *field : Fields())
        if (field->FieldKind() == TFieldKind::Data)
            defs.append({field->FieldName(), field->Size()});
    return quv::DataPacket(defs);
}

// ------------------------------------------------------------------ TDataSetProvider

QVariant TDataSetProvider::Data() const
{
    if (!DataSet)
        throw EDatabaseError(
            QStringLiteral("%1: provedor sem conjunto de dados.")
                .arg(objectName().isEmpty() ? QStringLiteral("TDataSetProvider") : objectName()));
    if (DataSet->Active()) {
        if (DataSet->Fetching())
            return QVariant::fromValue(TRowFeedRef{DataSet->Feed()});
        return QVariant::fromValue(DataSet->Data());
    }
    // A closed source is opened for the packet and left as it was found.
    DataSet->Open();
    const auto close = qScopeGuard([this] { DataSet->Close(); });
    return QVariant::fromValue(DataSet->Data());
}

// ------------------------------------------------------------------ TDataSource

void TDataSource::setDataSet(TDataSet *dataSet)
{
    if (m_dataSet == dataSet)
        return;
    if (m_dataSet)
        m_dataSet->p->sources.removeIf(
            [this](const QPointer<TDataSource> &source) { return !source || source == this; });
    m_dataSet = dataSet;
    if (dataSet)
        dataSet->p->sources.append(this);
    emit dataSetChanged();
}
