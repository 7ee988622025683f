// After a failed change: a filter store the user may try again, and grants
// that may no longer be what the server holds.

#include "screen/Cli_quv01000.h"

#include "framework/widgets/dialogs.h"

namespace Cli_quv01000 {

bool TfrmControleAcesso::storeFilter(const QString &lista, const QString &key,
                                     const QString &nrSequeDime)
{
    const bool group = !key.isEmpty() && key.front() == QLatin1Char('G');
    // The marks live only in the closed dialog: dropping them on a failure
    // would make the user mark them all again. Storing replaces the whole
    // set, so sending the same values again is safe whatever the failed
    // attempt left on the server.
    for (;;) {
        QString message;
        QString details;
        try {
            FiltraDimensao(lista, key, nrSequeDime);
            return true;
        } catch (const EServerError &e) {
            message = e.Message();
            details = e.Details();
        } catch (const EConnectionError &e) {
            message = e.Message();
            details = e.Details();
        }
        if (!RetryDlg(message, details)) {
            forgetGrantsInDoubt(group);
            return false;
        }
    }
}

void TfrmControleAcesso::forgetGrantsInDoubt(bool group)
{
    if (!netControleAcesso->ChangeInDoubt())
        return;
    (group ? cdsFatoOperGrup : cdsFatoOperOper)->Close();
    (group ? cdsDimeOperGrup : cdsDimeOperOper)->Close();
}

} // namespace Cli_quv01000
