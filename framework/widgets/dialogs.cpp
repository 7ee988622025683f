#include "framework/widgets/dialogs.h"

#include "framework/app/application.h"
#include "framework/data/dataset.h"
#include "framework/widgets/placement.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

int MessageDlg(const QString &msg, TMsgDlgType type, TMsgDlgButtons buttons, int helpCtx)
{
    Q_UNUSED(helpCtx); // there is no help system to open
    if (!buttons)
        throw Exception(QStringLiteral("MessageDlg: nenhum botão informado"));

    QMessageBox box(Application->MainForm());
    box.setWindowModality(Qt::ApplicationModal);
    switch (type) {
    case mtWarning:
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(QStringLiteral("Aviso"));
        break;
    case mtError:
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(QStringLiteral("Erro"));
        break;
    case mtInformation:
        box.setIcon(QMessageBox::Information);
        box.setWindowTitle(QStringLiteral("Informação"));
        break;
    case mtConfirmation:
        box.setIcon(QMessageBox::Question);
        box.setWindowTitle(QStringLiteral("Confirmação"));
        break;
    case mtCustom:
        box.setIcon(QMessageBox::NoIcon);
        box.setWindowTitle(QCoreApplication::applicationName());
        break;
    }
    box.setTextFormat(Qt::PlainText);
    QString text = msg;
    text.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n"));
    box.setText(text);

    struct Choice
    {
        TMsgDlgBtn flag;
        const char *name;
        const char *caption;
        QMessageBox::ButtonRole role;
        int result;
    };
    const Choice choices[] = {
        {mbYes, "btnYes", "&Sim", QMessageBox::YesRole, mrYes},
        {mbNo, "btnNo", "&Não", QMessageBox::NoRole, mrNo},
        {mbOK, "btnOk", "OK", QMessageBox::AcceptRole, mrOk},
        {mbCancel, "btnCancel", "Cancelar", QMessageBox::RejectRole, mrCancel},
    };
    QList<QPair<QAbstractButton *, int>> added;
    for (const Choice &c : choices) {
        if (!buttons.testFlag(c.flag))
            continue;
        QPushButton *button = box.addButton(QString::fromUtf8(c.caption), c.role);
        button->setObjectName(QLatin1StringView(c.name));
        added.append({button, c.result});
    }
    box.setDefaultButton(static_cast<QPushButton *>(added.front().first));
    // Closing the box with Escape or the title bar answers the "negative"
    // button that was offered.
    for (int preferred : {mrCancel, mrNo, mrOk})
        for (const auto &[button, result] : std::as_const(added))
            if (result == preferred && !box.escapeButton()) {
                box.setEscapeButton(button);
            }

    CentreOnScreen(&box);
    box.exec();
    QAbstractButton *clicked = box.clickedButton();
    if (!clicked)
        clicked = box.escapeButton();
    for (const auto &[button, result] : std::as_const(added))
        if (button == clicked)
            return result;
    return mrCancel;
}

bool RetryDlg(const QString &message, const QString &details)
{
    QMessageBox box(Application->MainForm());
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(QStringLiteral("Erro"));
    box.setTextFormat(Qt::PlainText);
    box.setText(message);
    if (!details.isEmpty())
        box.setDetailedText(details);
    QPushButton *retry = box.addButton(QStringLiteral("Tentar novamente"), QMessageBox::AcceptRole);
    retry->setObjectName(QStringLiteral("btnRetry"));
    QPushButton *cancel = box.addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    box.setDefaultButton(retry);
    box.setEscapeButton(cancel);
    CentreOnScreen(&box);
    box.exec();
    return box.clickedButton() == retry;
}
