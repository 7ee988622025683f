#pragma once

// The dialog of "Copiar acessos de…": the administrator picks the group or
// operator whose grants the target receives, and how (replace or add), and
// sees what would change before confirming. The dialog only chooses and
// previews; the caller makes the copy.

#include <QDialog>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableView;

namespace Cli_quv01000 {

/// A group or an operator, as the copy names it.
struct PrincipalChoice
{
    bool group = true;
    QString code;
    QString name;

    /// "G" or "O" and the code: how the server names a principal.
    QString key() const;
    /// "Grupo de operadores 02 - Vendas", for people.
    QString caption() const;
};

/// How many grants a copy adds and removes, as the server counts them.
struct CopyCounts
{
    qint64 factsAdded = 0;
    qint64 factsRemoved = 0;
    qint64 dimensionsAdded = 0;
    qint64 dimensionsRemoved = 0;
    qint64 valuesAdded = 0;
    qint64 valuesRemoved = 0;

    static CopyCounts fromPayload(const QVariant &payload);
    bool isEmpty() const;
};

/// Text folded for matching what people type: accents and case dropped.
QString foldForSearch(const QString &text);

class TdlgCopiaAcessos : public QDialog
{
    Q_OBJECT
public:
    /// Asks the server what copying from `sourceKey` in `mode` would change;
    /// may raise (the failure is shown and the dialog stays).
    using Previewer = std::function<CopyCounts(const QString &sourceKey, const QString &mode)>;

    TdlgCopiaAcessos(QWidget *parent, const PrincipalChoice &target,
                     const QList<PrincipalChoice> &principals, Previewer previewer);
    ~TdlgCopiaAcessos() override;

    /// The chosen source and mode ("substituir" or "acrescentar"), valid
    /// once the dialog was accepted.
    PrincipalChoice source() const;
    QString mode() const;

    QLabel *lblDestino;
    QLineEdit *edtPesquisa;
    QTableView *grdOrigens;
    QLabel *lblEncontrados;
    QRadioButton *rbSubstituir;
    QRadioButton *rbAcrescentar;
    QLabel *lblPreviaFatos;
    QLabel *lblPreviaDimensoes;
    QLabel *lblPreviaValores;
    QLabel *lblPreviaSituacao;
    QPushButton *btnPrevia;
    QPushButton *btnCopiar;
    QPushButton *btnCancelar;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class Model;

    void search(const QString &text);
    void choiceChanged();
    void preview();
    void showCounts(const CopyCounts *counts);

    Model *m_model;
    Previewer m_previewer;
    PrincipalChoice m_target;
    // What the preview on show was made for: Copiar needs it current.
    QString m_previewedKey;
    QString m_previewedMode;
};

} // namespace Cli_quv01000
