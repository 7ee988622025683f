#pragma once

// The history of access changes: who changed what and when, newest first,
// narrowed by principal, administrator, period and text, with the whole
// change of the selected row and "Desfazer" to take it back. A child window
// of the host of its own, beside the access-control screen; one per package.

#include "screen/historymodel.h"

#include <QString>
#include <QWidget>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class TNetConnection;

namespace Cli_quv01000 {

/// Opens the history window, or brings the open one back, narrowed to the
/// principal ("G01", "OJSILVA"; empty: every principal), with its first
/// page loaded.
void abreHistorico(const QString &principalKey);

class HistoryWindow : public QWidget
{
    Q_OBJECT
public:
    explicit HistoryWindow(QWidget *parent = nullptr);
    ~HistoryWindow() override;

    /// The open window, or nullptr.
    static HistoryWindow *instance();

    /// Sets the filter fields to show that principal's whole history ("G01",
    /// "OJSILVA"), or everyone's (empty): the other fields are cleared.
    void setPrincipal(const QString &key);
    /// Starts the list over with what the filter fields say.
    void reload();
    /// Takes back the selected change, after asking.
    void undoSelected();

    // Components, named as their objectName.
    QComboBox *cbxTipoPrincipal;
    QLineEdit *edtPrincipal;
    QLineEdit *edtAdministrador;
    QDateEdit *dtpDesde;
    QDateEdit *dtpAte;
    QLineEdit *edtTexto;
    QPushButton *btnFiltrar;
    QPushButton *btnLimpar;
    QTableView *grdHistorico;
    QPlainTextEdit *memDetalhes;
    QLabel *lblSituacao;
    QPushButton *btnDesfazer;
    HistoryModel *model;
    TNetConnection *netHistorico;

private:
    struct Filter
    {
        QString principal, administrator, since, until, text;
    };
    Filter filterFromFields() const;
    HistoryModel::Page fetch(const Filter &filter, const QString &cursor);
    void showSelected();
    /// The selected row's change with every fact, read from the server
    /// when its page row only counts some; nullptr when none is selected.
    const quv::history::Entry *selectedWhole();
    void showCount();
    void clearFields();
};

} // namespace Cli_quv01000
