#pragma once

// What the value-filter suites share: a session per test function over each
// driver with the host window shown, a way to act inside the list dialog
// while it runs modally, a record of every remote call (with the filter
// packet the screen sent and whether the busy indicator was up), and the
// grid moves a user makes.

#include "screenfixture.h"

#include "framework/data/dataset.h"
#include "framework/data/netconnection.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/dbgrid.h"
#include "framework/widgets/listdialog.h"
#include "tests/support/testdatabase.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace quv::test::filters {

/// One remote call as the screen made it.
struct RemoteCall
{
    QString method;
    /// Whether the busy indicator was up when the call went out.
    bool busy = false;
    /// For "setDelFilDime": the rows of the screen's filter packet.
    QList<QStringList> filterRows;
    QStringList filterFields;
};

/// Records every call the screen makes, beside the session's own list.
class CallRecorder
{
public:
    explicit CallRecorder(ScreenSession &session) : m_session(session)
    {
        TNetConnection::setTraceHook([this](const QString &method) {
            m_session.calls.append(method);
            RemoteCall call{method, ShowAviActive(), {}, {}};
            if (method == QLatin1StringView("setDelFilDime"))
                if (auto *form = m_session.form())
                    if (auto *temp = form->findChild<TClientDataSet *>(QStringLiteral("cdsTemp"))) {
                        const quv::DataPacket packet = temp->Data();
                        for (const quv::FieldDef &field : packet.fields())
                            call.filterFields.append(field.name);
                        for (qsizetype r = 0; r < packet.rowCount(); ++r)
                            call.filterRows.append(packet.row(r));
                    }
            calls.append(call);
        });
    }
    ~CallRecorder()
    {
        TNetConnection::setTraceHook(
            [this](const QString &method) { m_session.calls.append(method); });
    }
    Q_DISABLE_COPY_MOVE(CallRecorder)

    void clear()
    {
        calls.clear();
        m_session.calls.clear();
    }
    bool allBusy() const
    {
        return std::all_of(calls.begin(), calls.end(), [](const RemoteCall &c) { return c.busy; });
    }

    QList<RemoteCall> calls;

private:
    ScreenSession &m_session;
};

/// What the test saw of a list dialog that opened.
struct DialogSeen
{
    bool opened = false;
    QString caption;
    qsizetype totalRows = 0;
    QStringList headers;
    QStringList markedKeys;
    qsizetype blocked = 0;
    /// A modal window that was not the list dialog (closed unanswered).
    QString unexpected;
};

/// Acts on the next list dialog while it runs, then clicks `button` ("btnOk"
/// or "btnCancelar"). Lives as long as the test wants to wait for it; a
/// dialog that never came leaves `seen().opened` false.
class ListDialogAnswer
{
public:
    using Action = std::function<void(TPesquisaListaDialog *)>;

    ListDialogAnswer(QString button, Action act = {})
        : m_state(std::make_shared<DialogSeen>()), m_timer(std::make_unique<QTimer>())
    {
        m_timer->setInterval(10);
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(),
                         [timer = m_timer.get(), state = m_state, button = std::move(button),
                          act = std::move(act)] {
                             QWidget *modal = QApplication::activeModalWidget();
                             if (!modal)
                                 return;
                             timer->stop();
                             auto *dialog = qobject_cast<TPesquisaListaDialog *>(modal);
                             if (!dialog) {
                                 state->unexpected =
                                     modal->windowTitle() + QLatin1Char('/') + modal->objectName();
                                 modal->close();
                                 return;
                             }
                             state->opened = true;
                             state->caption = dialog->windowTitle();
                             TPesquisaListaModel *model = dialog->Model();
                             state->totalRows = model->TotalRows();
                             for (int c = 0; c < model->columnCount(); ++c)
                                 state->headers.append(
                                     model->headerData(c, Qt::Horizontal).toString());
                             state->markedKeys = model->MarkedKeys();
                             state->blocked = model->BlockedCount();
                             if (act)
                                 act(dialog);
                             if (auto *b = dialog->findChild<QPushButton *>(button))
                                 b->click();
                             else
                                 dialog->reject();
                         });
        m_timer->start();
    }
    ~ListDialogAnswer() { m_timer->stop(); }
    Q_DISABLE_COPY_MOVE(ListDialogAnswer)

    const DialogSeen &seen() const { return *m_state; }

private:
    std::shared_ptr<DialogSeen> m_state;
    std::unique_ptr<QTimer> m_timer;
};

/// The shown row of the dialog whose key is `key`, or -1.
inline int dialogRowOf(TPesquisaListaDialog *dialog, const QString &key)
{
    TPesquisaListaModel *model = dialog->Model();
    for (int r = 0; r < model->rowCount(); ++r)
        if (model->index(r, 1).data().toString() == key)
            return r;
    return -1;
}

/// Clicks the mark of the dialog row with that key, as the user would.
inline bool clickDialogMark(TPesquisaListaDialog *dialog, const QString &key)
{
    const int row = dialogRowOf(dialog, key);
    if (row < 0)
        return false;
    TPesquisaListaGrid *grid = dialog->Grid();
    grid->scrollTo(dialog->Model()->index(row, 0));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(dialog->Model()->index(row, 0)).center());
    return true;
}

/// Shows the host's main window so that grids have their geometry and the
/// dialog a parent on screen.
inline bool showHost(ScreenSession &session)
{
    QWidget *window = session.host.mainForm();
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowExposed(window))
        return false;
    settle();
    return true;
}

/// Row index of the dimension in a dimension dataset, or -1.
inline int dimensionRow(TDataSet *dimensions, const QString &number)
{
    const TField *field = dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"));
    for (qsizetype r = 0; r < dimensions->RecordCount(); ++r)
        if (dimensions->CellText(r, field) == number)
            return int(r);
    return -1;
}

inline int columnIndex(const TDBGrid *grid, const QString &field)
{
    for (int c = 0; c < grid->Columns().size(); ++c)
        if (grid->Column(c)->FieldName == field)
            return c;
    return -1;
}

/// The sorted first column of a query's rows.
inline QStringList sortedValues(const QSqlDatabase &db, const QString &sql,
                                const QVariantList &values = {})
{
    QStringList out;
    for (const QStringList &row : rows(db, sql, values))
        out.append(row.value(0));
    out.sort();
    return out;
}

inline QStringList storedGroupFilter(const QSqlDatabase &db, const QString &group, int dimension)
{
    return sortedValues(db,
                        QStringLiteral("SELECT CDFILDIMEGRUPOP FROM FILDIMEGRUPOP WHERE "
                                       "CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
                        {group, dimension});
}

inline QStringList storedOperatorFilter(const QSqlDatabase &db, const QString &op, int dimension)
{
    return sortedValues(db,
                        QStringLiteral("SELECT CDFILDIMEOPER FROM FILDIMEOPER WHERE "
                                       "CDOPERADOR = ? AND NRSEQUEDIME = ?"),
                        {op, dimension});
}

} // namespace quv::test::filters
