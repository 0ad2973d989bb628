#pragma once

#include <QList>
#include <QString>

namespace corvane {

// Keeps a list of integers as the INT32 values "0", "1", ... of one group of settings().
// Keys beyond the list's end are left as they are.
void saveIntList(const QString& group, const QList<int>& values);

// A list as long as defaults whose i-th value is the stored value of key i, or defaults[i].
QList<int> loadIntList(const QString& group, const QList<int>& defaults);

}  // namespace corvane
