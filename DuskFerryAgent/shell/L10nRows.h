#pragma once
// One row of the compiled-in translations, shared by the agent's tables and the desktop
// shell's host texts: the key (the Simplified Chinese text) and its English, Traditional
// Chinese, Japanese, Korean, German, French and Spanish texts.

#include "DuskFerryAgent/shell/L10n.h"

#include <map>
#include <span>
#include <string>

namespace df::l10n_rows {

struct Row {
    const char* key;
    const char* en;
    const char* zhHant;
    const char* ja;
    const char* ko;
    const char* de;
    const char* fr;
    const char* es;
};

/// Adds each row's seven translations to `tables`, one table per language code; a key
/// already present keeps its text.
inline void addRows(std::span<const Row> rows, std::map<std::string, L10n::Table, std::less<>>& tables) {
    auto& en = tables["en"];
    auto& zhHant = tables["zh-Hant"];
    auto& ja = tables["ja"];
    auto& ko = tables["ko"];
    auto& de = tables["de"];
    auto& fr = tables["fr"];
    auto& es = tables["es"];
    for (const auto& row : rows) {
        en.emplace(row.key, row.en);
        zhHant.emplace(row.key, row.zhHant);
        ja.emplace(row.key, row.ja);
        ko.emplace(row.key, row.ko);
        de.emplace(row.key, row.de);
        fr.emplace(row.key, row.fr);
        es.emplace(row.key, row.es);
    }
}

}  // namespace df::l10n_rows
