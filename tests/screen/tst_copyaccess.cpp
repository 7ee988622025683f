// "Copiar acessos de…" on the principal lists: the picker's search, and a
// copy made from the menu through the real package, server and database.

#include "screen/copyaccessdialog.h"
#include "screenfixture.h"
#include "tests/support/grants.h"
#include "tests/support/testdatabase.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

using namespace quv::test;
using Cli_quv01000::PrincipalChoice;
using Cli_quv01000::TdlgCopiaAcessos;

namespace {

QStringList visibleCodes(const TdlgCopiaAcessos &dialog)
{
    QStringList codes;
    const QAbstractItemModel *model = dialog.grdOrigens->model();
    for (int row = 0; row < model->rowCount(); ++row)
        codes.append(model->index(row, 1).data().toString());
    return codes;
}

} // namespace

class CopyAccess : public QObject
{
    Q_OBJECT

private slots:
    void searchIgnoresAccentsAndCase_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("nothing typed: all but the target")
            << "" << QStringList{"01", "JSILVA", "ACONCEICAO", "CFERREIRA"};
        QTest::newRow("no accent typed") << "joao" << QStringList{"JSILVA"};
        QTest::newRow("accent and capitals typed") << "CONCEIÇÃO" << QStringList{"ACONCEICAO"};
        QTest::newRow("by code") << "jsil" << QStringList{"JSILVA"};
        QTest::newRow("accented syllable") << "ção" << QStringList{"ACONCEICAO"};
        QTest::newRow("nothing matches") << "zz" << QStringList{};
    }
    void searchIgnoresAccentsAndCase()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, found);
        const PrincipalChoice target{true, QStringLiteral("02"), QStringLiteral("Vendas")};
        TdlgCopiaAcessos dialog(
            nullptr, target,
            {{true, "01", "Diretoria"},
             target,
             {false, "JSILVA", "João da Silva"},
             {false, "ACONCEICAO", "Ana Conceição"},
             {false, "CFERREIRA", "Célia Ferreira"}},
            [](const QString &, const QString &) { return Cli_quv01000::CopyCounts{}; });
        // After a search that found nothing, typed one character at a time
        // as people do: each keystroke narrows the one before.
        dialog.edtPesquisa->setText(QStringLiteral("zz"));
        for (qsizetype n = 1; n <= typed.size(); ++n)
            dialog.edtPesquisa->setText(typed.left(n));
        dialog.edtPesquisa->setText(typed);
        QCOMPARE(visibleCodes(dialog), found);
        QCOMPARE(dialog.btnPrevia->isEnabled(), !found.isEmpty());
        QVERIFY(!dialog.btnCopiar->isEnabled());
    }

    void copyFromTheMenu_data() { addDriverColumn(); }
    void copyFromTheMenu()
    {
        QFETCH(QString, driver);
        ScreenSession session;
        QString skip;
        if (!session.setUp(driver, &skip))
            QSKIP(qPrintable(skip));
        auto *form = session.open();
        QVERIFY(form);
        const QString target = QLatin1Char('G') + form->qryOperGrupCDGRUPOPER->AsString();
        const QString source = target == u"G01" ? QStringLiteral("G02") : QStringLiteral("G01");
        const Grants sourceGrants = grantsOf(session.database(), source);
        const Grants targetGrants = grantsOf(session.database(), target);
        QVERIFY(sourceGrants != targetGrants);
        session.host.cacheRequests.clear();

        QString previewFacts, previewValues;
        bool copyEnabled = false;
        whenModalOpens([&](QWidget *modal) {
            auto *dialog = qobject_cast<TdlgCopiaAcessos *>(modal);
            if (!dialog) {
                modal->close();
                return;
            }
            dialog->edtPesquisa->setText(source.mid(1));
            dialog->btnPrevia->click();
            previewFacts = dialog->lblPreviaFatos->text();
            previewValues = dialog->lblPreviaValores->text();
            copyEnabled = dialog->btnCopiar->isEnabled();
            dialog->btnCopiar->click();
        });
        auto *action =
            form->dbgPadrao->findChild<QAction *>(QStringLiteral("mnuCopiarAcessosGrup"));
        QVERIFY(action);
        action->trigger();
        settle();
        QCOMPARE(session.host.exceptions, QStringList());

        // The preview counted what the copy then did (replace is the default).
        QStringList added, removed;
        for (const QString &f : sourceGrants.facts)
            if (!targetGrants.facts.contains(f))
                added.append(f);
        for (const QString &f : targetGrants.facts)
            if (!sourceGrants.facts.contains(f))
                removed.append(f);
        QCOMPARE(previewFacts, QStringLiteral("+%1 / −%2").arg(added.size()).arg(removed.size()));
        QVERIFY(copyEnabled);
        QCOMPARE(grantsOf(session.database(), target), sourceGrants);

        // The page shows the target's new grants, and the cache hears of
        // every table that changed.
        qsizetype checked = 0;
        const TField *mark = form->cdsFatoOperGrup->FieldByName(QStringLiteral("IDCHECK"));
        for (qsizetype r = 0; r < form->cdsFatoOperGrup->RecordCount(); ++r)
            checked += form->cdsFatoOperGrup->CellText(r, mark) == u"S";
        QCOMPARE(checked, sourceGrants.facts.size());
        QVERIFY(!session.host.cacheRequests.isEmpty());
        const QStringList tables = session.host.cacheRequests.last();
        QCOMPARE(tables.contains(QStringLiteral("ITEMDWGRUPOP")),
                 !added.isEmpty() || !removed.isEmpty());
        QCOMPARE(tables.contains(QStringLiteral("FILDIMEGRUPOP")),
                 previewValues != QStringLiteral("+0 / −0"));
        QVERIFY(session.calls.contains(QStringLiteral("getPreviaCopia")));
        QVERIFY(session.calls.contains(QStringLiteral("copiaAcessos")));
    }
};

QTEST_MAIN(CopyAccess)
#include "tst_copyaccess.moc"
