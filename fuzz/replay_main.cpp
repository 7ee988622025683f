// Runs a fuzz target over saved inputs without libFuzzer, so that the seed
// corpus and every input that once failed are checked by the ordinary build
// and test run, with any compiler. Arguments: files or folders of inputs.

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        QStringList files;
        if (QFileInfo(path).isDir()) {
            QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files.append(it.next());
        } else {
            files.append(path);
        }
        files.sort();
        for (const QString &file : files) {
            QFile input(file);
            if (!input.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "replay: cannot read %s\n", qPrintable(file));
                return 2;
            }
            const QByteArray bytes = input.readAll();
            std::fprintf(stderr, "replay: %s\n", qPrintable(file));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                                   size_t(bytes.size()));
            ++inputs;
        }
    }
    if (inputs == 0) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 2;
    }
    std::printf("replay: %d inputs passed, 0 failed\n", inputs);
    return 0;
}
