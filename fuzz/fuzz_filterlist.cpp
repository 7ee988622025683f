// The filter value list "_v_w_" comes back from the server and from the
// list dialog. Reading and writing it must agree: what is read writes back
// to a text that reads the same, and any values without "_" read back
// exactly from what is written for them; a value with "_" is refused.

#include "framework/data/dataset.h"
#include "framework/widgets/listdialog.h"
#include "fuzzsupport.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));

    // Reading any text, then writing and reading again, is stable.
    const QStringList values = ListaFiltro::parse(text);
    for (const QString &value : values)
        QUV_FUZZ_CHECK(!value.contains(QLatin1Char('_')), value.toUtf8());
    const QString written = ListaFiltro::build(values);
    QUV_FUZZ_CHECK(ListaFiltro::parse(written) == values, written.toUtf8());
    QUV_FUZZ_CHECK(ListaFiltro::build(ListaFiltro::parse(written)) == written, written.toUtf8());
    QUV_FUZZ_CHECK(values.isEmpty() == written.isEmpty(), written.toUtf8());

    // Values cut at another character: the ones free of "_" travel whole,
    // and a list holding any other is refused rather than split.
    const QStringList free = text.split(QLatin1Char('\n'));
    bool hasSeparator = false;
    for (const QString &value : free)
        hasSeparator = hasSeparator || value.contains(QLatin1Char('_'));
    try {
        const QString list = ListaFiltro::build(free);
        QUV_FUZZ_CHECK(!hasSeparator, list.toUtf8());
        QUV_FUZZ_CHECK(ListaFiltro::parse(list) == free, list.toUtf8());
    } catch (const Exception &e) {
        QUV_FUZZ_CHECK(hasSeparator, e.what());
        QUV_FUZZ_CHECK(*e.what() != '\0', QByteArray());
    }
    return 0;
}
