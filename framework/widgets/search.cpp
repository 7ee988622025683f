#include "framework/widgets/search.h"

#include "framework/app/application.h"
#include "framework/data/dataset.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

qsizetype ProcuraLinha(const TDataSet *dataSet, const QString &text)
{
    if (!dataSet || !dataSet->Active() || text.isEmpty())
        return -1;
    const qsizetype rows = dataSet->RecordCount();
    if (rows == 0)
        return -1;
    QList<const TField *> fields;
    for (const TField *field : dataSet->Fields())
        if (field->Visible())
            fields.append(field);
    const qsizetype start = dataSet->RecNo() > 0 ? dataSet->RecNo() - 1 : 0;
    for (qsizetype i = 0; i < rows; ++i) {
        const qsizetype row = (start + i) % rows;
        for (const TField *field : std::as_const(fields))
            if (dataSet->CellText(row, field).contains(text, Qt::CaseInsensitive))
                return row;
    }
    return -1;
}

void Procura(TDataSet *dataSet)
{
    if (!dataSet)
        throw Exception(QStringLiteral("Procura: nenhum conjunto de dados informado"));
    if (!dataSet->Active())
        throw Exception(QStringLiteral("Procura: o conjunto de dados está fechado"));

    QDialog dialog(Application->MainForm());
    dialog.setObjectName(QStringLiteral("dlgProcura"));
    dialog.setWindowTitle(QStringLiteral("Procurar"));
    dialog.setWindowModality(Qt::ApplicationModal);
    auto *layout = new QVBoxLayout(&dialog);
    auto *prompt = new QLabel(QStringLiteral("Procurar por:"), &dialog);
    auto *edit = new QLineEdit(&dialog);
    edit->setObjectName(QStringLiteral("edtProcura"));
    prompt->setBuddy(edit);
    auto *message = new QLabel(&dialog);
    message->setObjectName(QStringLiteral("lblMensagem"));
    auto *buttons = new QDialogButtonBox(&dialog);
    QPushButton *ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("btnOk"));
    ok->setDefault(true);
    QPushButton *cancel =
        buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    layout->addWidget(prompt);
    layout->addWidget(edit);
    layout->addWidget(message);
    layout->addWidget(buttons);

    QObject::connect(edit, &QLineEdit::textEdited, message, &QLabel::clear);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        if (edit->text().isEmpty()) {
            message->setText(QStringLiteral("Informe o texto a procurar."));
            return;
        }
        const qsizetype row = ProcuraLinha(dataSet, edit->text());
        if (row < 0) {
            message->setText(QStringLiteral("Registro não encontrado."));
            return;
        }
        // Moving runs the dataset's handlers; a failure is shown and the
        // dialog stays open for another try.
        bool moved = false;
        Application->Guard([&] {
            dataSet->setRecNo(row + 1);
            moved = true;
        });
        if (moved)
            dialog.accept();
    });
    dialog.exec();
}
