#pragma once

// The framework's record search.

#include <QString>

class TDataSet;

/// Modal search dialog ("dlgProcura"): finds the first record at or after the
/// current one, wrapping round, whose value of any visible field contains the
/// text (case-insensitive), and leaves the dataset there. When none matches,
/// the dialog says "Registro não encontrado." and stays open. Raises Exception
/// for a null or closed dataset.
void Procura(TDataSet *dataSet);

/// The search itself: the 0-based row found, or -1. Does not move the dataset.
qsizetype ProcuraLinha(const TDataSet *dataSet, const QString &text);
