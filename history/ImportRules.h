// The import's decisions, the same for every back end: what becomes of one incoming line given the
// copies the history keeps of the same second and sensor, and which lines of a file are refused before
// that. No database here: the stores gather the copies, ask, and carry the answer out.
//
// The rules:
//  - The logger's download is the original. A line from a file is kept only where no download covers
//    its time: where the logger's download has a copy of that second and sensor, the file's line is
//    known when it shows the same line (sameLine) and refused as differing otherwise; elsewhere inside
//    the span of one of the logger's downloads (its first to its last record) it is refused as well.
//    Outside every download's span it is added, once, and stays marked as read from a file.
//  - A file's line whose values disagree with its own raw counts is refused. The program knows no
//    formula from counts to values (the logger sends both, and the conversion is the sensor's), so
//    only what provably disagrees is refused: a sensor's count gives one value, so lines of a sensor
//    with the same count and different values (to the file's one decimal) cannot all be right. The
//    value most of them show stands; the others are refused, and where no value has the most, all are.
//  - A downloaded record: a flagged (check-sum error) copy of a record kept clean (the same counts) is
//    known; worse copies of it (one read from a file showing the same line, a flagged one with the
//    same counts when this one is clean) retire in its favour, and it then counts as known; a copy of
//    the same bytes is known; otherwise it is added.
#pragma once

#include <cstdint>
#include <vector>

#include "data/Messwert.h"

namespace history {

// A copy kept of a record at the same second and sensor. `visible` false: a copy an earlier import
// retired but still holds (a server keeps them).
struct KeptCopy {
  messwert_tag record;
  bool flagged = false;
  bool fromFile = false;
  bool visible = true;
};

struct IncomingLine {
  messwert_tag record;
  bool flagged = false;
  bool fromFile = false;
  bool insideDownload = false;  // a file's line within the span of one of the logger's downloads
  bool disagrees = false;       // a file's line refused by disagreeingLines
};

enum class ImportOutcome { added, known, differing, insideDownload, disagreeing };

struct ImportDecision {
  ImportOutcome outcome = ImportOutcome::known;
  bool insert = false;
  std::vector<size_t> retire;  // indexes into the kept copies that give way to the new one
};

// `kept` holds every copy of the line's second and sensor (those retired before too, where kept).
ImportDecision decideImport(const std::vector<KeptCopy>& kept, const IncomingLine& line);

// The lines of a file (records with their flags) whose values disagree with their own raw counts, as
// above: true for a line that is refused. Flagged lines are neither judged nor used as a measure.
std::vector<bool> disagreeingLines(const std::vector<messwert_tag>& records,
                                   const std::vector<bool>& flagged);

struct ImportResult;
// Adds a decision's outcome to an import's counts (refusals of every kind count as differing).
void countOutcome(ImportOutcome outcome, ImportResult& result);

// Spans [first, last] of the logger's downloads; whether a time lies within one of them.
struct DownloadSpans {
  std::vector<std::pair<int64_t, int64_t>> spans;
  void add(int64_t first, int64_t last) { spans.emplace_back(first, last); }
  bool covers(int64_t time) const;
};

}  // namespace history
