#pragma once
// The journal's part for links read by the external extractor: the job's resolver
// kind and page, and per quality line what its download needs beyond an address
// (format ids, request headers, chunk limit, the audio of a pair). Own tables, so
// journals of the built-in readers are unchanged.
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <vector>

#include "jobs/Journal.h"

namespace journalstreams {

// Creates the tables where they are missing (new or older journals).
void EnsureTables(sqlite3* db);
// Replaces what the journal holds of the job (nothing for a built-in job).
void Write(sqlite3* db, int64_t key, const TJobSnapshot& job);
void Remove(sqlite3* db, int64_t key);
// Fills the read jobs (index: journal key -> position in jobs); their quality
// lists are already read.
void Read(sqlite3* db, std::vector<TJobSnapshot>& jobs, const std::map<int64_t, size_t>& index);

}  // namespace journalstreams
