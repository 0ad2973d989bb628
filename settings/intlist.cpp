#include "settings/intlist.h"

#include <string>

#include "settings/kvstore.h"

namespace corvane {

void saveIntList(const QString& group, const QList<int>& values) {
    KVStore& store = settings();
    const std::string name = group.toStdString();
    for (qsizetype i = 0; i < values.size(); ++i) {
        store.setInt32(name, std::to_string(i), values[i]);
    }
}

QList<int> loadIntList(const QString& group, const QList<int>& defaults) {
    KVStore& store = settings();
    const std::string name = group.toStdString();
    QList<int> values;
    values.reserve(defaults.size());
    for (qsizetype i = 0; i < defaults.size(); ++i) {
        values.append(store.getInt32(name, std::to_string(i), defaults[i]));
    }
    return values;
}

}  // namespace corvane
