// SPDX-License-Identifier: Apache-2.0
// log scan --json and log disp --json: the scan's summary (and the listing)
// as one document.
#include <algorithm>

#include "jsondoc.h"
#include "log/logscan.h"
#include "log/logtmp.h"

namespace {

void SummaryJson(JsonWriter &w, const LogList &log) {
  // "Log appears to be valid." or "... empty."
  w.MemberString("log", log.log_blocks == 0 ? "empty" : "valid");
  w.MemberInt("num_segments", log.log_segments);
  w.Key("chains");  // the bracket after num segments: first chain / second chain
  w.BeginArray(true);
  w.Int(log.log_cnt);
  w.Int(log.log_cnt2);
  w.EndArray();
  w.MemberInt("num_blocks", log.log_blocks);
  w.MemberInt("num_sectors", log.log_sectors);
}

// The listing of log disp: a line per entry, the segment's numbers on its
// first line; here each segment once, with its entries.
void SegmentsJson(JsonWriter &w, const LogList &log) {
  w.Key("segments");
  w.BeginArray();
  for (size_t i = 0; i < log.LtLst.size(); i++) {
    const LOG_TAIL &lt = log.LtLst[i];
    w.BeginObject();
    w.MemberUint("segment", i);
    w.MemberInt("seq", static_cast<int64_t>(lt.seq.get()));
    w.MemberInt("LtSec", log.LtSec[i]);
    w.Key("entries");
    w.BeginArray();
    const uint32_t n = std::min<uint32_t>(lt.NumEntries.get(), kLogEntMax);
    for (uint32_t j = 0; j < n; j++) {
      const LOG_ENT &e = lt.le[j];
      w.BeginObject();
      w.MemberInt("TargetSector", e.TargetSector());
      w.MemberInt("SectorCnt", e.SectorCnt());
      w.MemberInt("EntryTp", e.EntryTp());
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
}

}  // namespace

void LogJson(bool entries) {
  RunJsonDoc(entries ? "log disp" : "log scan", kLogJsonSchema, [entries](JsonWriter &w) {
    const LogList log = ScanLogFile();
    w.MemberString("temp_file", log.source->path);
    w.MemberUint("temp_file_bytes", log.source->size);
    SummaryJson(w, log);
    if (entries) SegmentsJson(w, log);
  });
}
