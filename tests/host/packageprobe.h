#pragma once

// The tests' own handle on a stand-in package, to read its call log and steer
// it. It opens the file with dlopen on purpose: QLibrary objects of one file
// share their unload in this Qt version, so a QLibrary probe would be
// unloaded by the loader under test and could not read the log afterwards.

#include <QString>

#include <dlfcn.h>

class PackageProbe
{
public:
    explicit PackageProbe(const QString &path)
        : m_handle(dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL))
    {
        if (!m_handle)
            m_error = QString::fromLocal8Bit(dlerror());
        else {
            m_log = symbol<const char *(*)()>("TestPackageLog");
            m_reset = symbol<void (*)()>("TestPackageReset");
            m_record = symbol<void (*)(const char *)>("TestPackageRecord");
            m_setThrow = symbol<void (*)(int)>("TestPackageSetThrow");
            m_setOpenHook = symbol<void (*)(void (*)())>("TestPackageSetOpenHook");
        }
    }
    ~PackageProbe()
    {
        if (m_handle)
            dlclose(m_handle);
    }
    PackageProbe(const PackageProbe &) = delete;
    PackageProbe &operator=(const PackageProbe &) = delete;

    bool ok() const
    {
        return m_handle && m_log && m_reset && m_record && m_setThrow && m_setOpenHook;
    }
    QString error() const { return m_error; }

    QString calls() const { return QString::fromLatin1(m_log()); }
    void reset() const { m_reset(); }
    void record(const char *entry) const { m_record(entry); }
    void setThrow(bool on) const { m_setThrow(on ? 1 : 0); }
    void setOpenHook(void (*hook)()) const { m_setOpenHook(hook); }

private:
    template <class F> F symbol(const char *name)
    {
        auto f = reinterpret_cast<F>(dlsym(m_handle, name));
        if (!f)
            m_error = QStringLiteral("missing %1").arg(QLatin1StringView(name));
        return f;
    }

    void *m_handle = nullptr;
    QString m_error;
    const char *(*m_log)() = nullptr;
    void (*m_reset)() = nullptr;
    void (*m_record)(const char *) = nullptr;
    void (*m_setThrow)(int) = nullptr;
    void (*m_setOpenHook)(void (*)()) = nullptr;
};
