#pragma once

// The remote data module of the access-control screen: its server name, its
// methods with their argument shapes, and the names of the server tables a
// change touches. Both the application server and the client check calls
// against this one table.

#include <QLatin1StringView>
#include <QList>
#include <QString>

#include <span>

namespace quv::rdm {

inline constexpr QLatin1StringView ServerName{"QUV01000.rdmControleAcesso"};

/// The method a connection must call first; see docs/protocol.md.
inline constexpr QLatin1StringView LoginMethod{"login"};

enum class Arg
{
    String,    // in: a string
    RefString, // by reference: the client sends a string, the server echoes it back
    Bool,      // in: a boolean
    Packet,    // in: a data packet
    OutPacket, // out: the client sends null, the server fills a data packet
};

struct Method
{
    QLatin1StringView name;
    std::span<const Arg> args;
    /// True when the status carries a payload (the two read fall-backs, the
    /// history, the undo and the transfer methods).
    bool hasPayload = false;
    /// True when the method only reads. Any other call that is abandoned
    /// after it was sent (cancelled, timed out, cut off) may have been
    /// applied by the server, and the client says so.
    bool readOnly = false;
};

namespace detail {
using enum Arg;
inline constexpr Arg getOper[] = {RefString, OutPacket, OutPacket};
inline constexpr Arg setCkFato[] = {String, String, String, Bool, OutPacket};
inline constexpr Arg setCkDime[] = {String, String, Bool, OutPacket};
inline constexpr Arg setTChkFato[] = {String, Packet, OutPacket, Bool};
inline constexpr Arg setTChkDime[] = {String, Packet, Bool, OutPacket};
inline constexpr Arg getPesqFiltro[] = {RefString};
inline constexpr Arg getListaFiltro[] = {String, RefString};
inline constexpr Arg setDelFilDime[] = {Packet, Bool};
// principal key, administrator, since, until, text, cursor, page size
inline constexpr Arg getHistorico[] = {String, String, String, String, String, String, String};
inline constexpr Arg desfazAlteracao[] = {String};
inline constexpr Arg getAlteracao[] = {String};
inline constexpr Arg copy[] = {String, String, String};
inline constexpr Arg exportPage[] = {Packet, String};
inline constexpr Arg importPart[] = {Packet};
inline constexpr Arg importFinish[] = {String};
} // namespace detail

inline constexpr Method Methods[] = {
    {QLatin1StringView{"getOperGrup"}, detail::getOper, false, true},
    {QLatin1StringView{"getOperOper"}, detail::getOper, false, true},
    {QLatin1StringView{"setCkFatoOpGrup"}, detail::setCkFato},
    {QLatin1StringView{"setCkFatoOpOper"}, detail::setCkFato},
    {QLatin1StringView{"setCkDimeOpGrup"}, detail::setCkDime},
    {QLatin1StringView{"setCkDimeOpOper"}, detail::setCkDime},
    {QLatin1StringView{"setTChkFatoOpGrup"}, detail::setTChkFato},
    {QLatin1StringView{"setTChkFatoOpOper"}, detail::setTChkFato},
    {QLatin1StringView{"setTChkDimeOpGrup"}, detail::setTChkDime},
    {QLatin1StringView{"setTChkDimeOpOper"}, detail::setTChkDime},
    {QLatin1StringView{"getPesqFiltro"}, detail::getPesqFiltro, true, true},
    {QLatin1StringView{"getListaFiltro"}, detail::getListaFiltro, true, true},
    {QLatin1StringView{"setDelFilDime"}, detail::setDelFilDime},
    {QLatin1StringView{"getHistorico"}, detail::getHistorico, true, true},
    {QLatin1StringView{"getAlteracao"}, detail::getAlteracao, true, true},
    {QLatin1StringView{"desfazAlteracao"}, detail::desfazAlteracao, true},
    // Copying grants between principals, export and import.
    {QLatin1StringView{"getPreviaCopia"}, detail::copy, true, true},
    {QLatin1StringView{"copiaAcessos"}, detail::copy, true},
    {QLatin1StringView{"getExportaAcessos"}, detail::exportPage, true, true},
    {QLatin1StringView{"importaAcessosInicio"}, {}},
    {QLatin1StringView{"importaAcessosParte"}, detail::importPart, true},
    {QLatin1StringView{"getPreviaImportacao"}, detail::importFinish, true, true},
    {QLatin1StringView{"importaAcessos"}, detail::importFinish, true},
};

/// The method of that exact (case-sensitive) name, or nullptr.
inline const Method *findMethod(QStringView name)
{
    for (const Method &m : Methods)
        if (name == m.name)
            return &m;
    return nullptr;
}

/// Server tables named to the host's local cache after a change.
namespace table {
inline constexpr QLatin1StringView FactGrantGroup{"ITEMDWGRUPOP"};
inline constexpr QLatin1StringView FactGrantOperator{"ITEMDWOPER"};
inline constexpr QLatin1StringView DimensionGrantGroup{"DIMEDWGRUPOP"};
inline constexpr QLatin1StringView DimensionGrantOperator{"DIMEODWOPER"};
inline constexpr QLatin1StringView FilterGroup{"FILDIMEGRUPOP"};
inline constexpr QLatin1StringView FilterOperator{"FILDIMEOPER"};
} // namespace table

} // namespace quv::rdm
