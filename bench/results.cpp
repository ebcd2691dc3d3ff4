// SPDX-License-Identifier: Apache-2.0
// vexbench: the JSON results document.
#include "results.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <utility>

#include "bench.h"
#include "config.h"
#include "fatal.h"

namespace {

// What stands at path that a results file must not replace; nullptr when
// there is nothing, a regular file, or a link to one or to nothing.
const char *NotAFile(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return nullptr;
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) return "a device";
  return "a socket";
}

void RefuseNotAFile(const std::string &path) {
  if (const char *what = NotAFile(path))
    Fatal("Error: results file %s is %s, not a regular file\n", path.c_str(), what);
}

// Creates "<path>.<pid>.<n>" exclusively, with the mode fopen would give: never
// an existing file or link. The handle, or -1 with errno.
int CreateBeside(const std::string &path, std::string &tmp) {
  for (unsigned n = 0; n < 100; n++) {
    tmp = path + "." + std::to_string(getpid()) + "." + std::to_string(n);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void Micros(JsonWriter &w, const char *k, uint64_t ns) {
  w.MemberDouble(k, static_cast<double>(ns) / 1000.0);
}

void WriteSettings(JsonWriter &w, const BenchConfig &cfg, bool latency) {
  w.Key("settings");
  w.BeginObject();
  w.MemberInt("test", cfg.mode);
  w.MemberInt("size_mib", static_cast<int64_t>(cfg.size_mib));
  w.MemberInt("time_s", cfg.seconds);
  w.MemberInt("min_block", cfg.blk_min);
  w.MemberInt("max_block", cfg.blk_max);
  w.Key("threads");
  w.BeginArray();
  for (int t : cfg.threads)
    if (t != 0) w.Int(t);
  w.EndArray();
  w.MemberInt("coll", cfg.coll);
  w.MemberInt("dupe", cfg.dupe);
  w.MemberInt("comp", cfg.comp);
  w.MemberBool("direct", cfg.direct != 0);
  w.MemberBool("fill", cfg.fill);
  w.MemberBool("read", cfg.read_table);
  w.MemberBool("write", cfg.write_table);
  w.MemberBool("verify", !cfg.quick && cfg.dupe == 0);
  const bool zero = cfg.zero_buf || cfg.dupe != 0;
  w.MemberString("buffer", zero ? "zero" : cfg.half_zero ? "half-random" : "random");
  w.MemberString("random_source", cfg.urandom ? "urandom" : "rand");
  w.MemberBool("fixed_seed", cfg.fixed_seed);
  w.MemberBool("latency", latency);
  if (cfg.queue_depth > 1) w.MemberInt("qd", cfg.queue_depth);  // absent: 1
  if (cfg.start_at_ms != kNoStartAt) {
    w.MemberUint("start_at_ms", cfg.start_at_ms);
  }
  if (!cfg.mix_shares.empty()) {  // absent: no mixed table
    w.Key("mix");
    w.BeginArray();
    for (int p : cfg.mix_shares) w.Int(p);
    w.EndArray();
  }
  if (cfg.rate != 0) w.MemberUint("rate", cfg.rate);  // absent: no limit
  w.EndObject();
}

// The merged histogram of a cell, for tools that add several cells' histograms
// (the hosts of a fleet run) and take percentiles of the sum.
void WriteHistogram(JsonWriter &w, const CellResult &c) {
  w.Key("latency_hist");
  w.BeginObject();
  w.MemberUint("min_ns", c.lat_min);
  w.MemberUint("max_ns", c.lat.max);
  w.Key("bucket_ns");
  w.BeginArray(true);
  for (const LatBucketCount &b : c.lat_buckets) w.Uint(b.lo);
  w.EndArray();
  w.Key("bucket_counts");
  w.BeginArray(true);
  for (const LatBucketCount &b : c.lat_buckets) w.Uint(b.count);
  w.EndArray();
  w.EndObject();
}

// The completion latencies as fio reports them, in whole nanoseconds, with
// fio's percentile keys ("99.900000").
void WriteLatencyNs(JsonWriter &w, const LatStats &s) {
  w.Key("latency_ns");
  w.BeginObject();
  const std::pair<const char *, uint64_t> figures[] = {
      {"min", s.min}, {"max", s.max}, {"mean", s.mean}, {"stddev", s.stddev}, {"count", s.count}};
  for (const auto &[k, v] : figures) {
    w.MemberUint(k, v);
  }
  w.Key("percentiles");
  w.BeginObject();
  for (size_t i = 0; i < kLatNPercentiles; i++) {
    char key[24];
    std::snprintf(key, sizeof key, "%u.%06u", kLatPercentiles[i] / 1000,
                  kLatPercentiles[i] % 1000 * 1000);
    w.MemberUint(key, s.pct[i]);
  }
  w.EndObject();
  w.EndObject();
}

// One direction of a mixed cell, under fio's name for it ("read", "write").
void WriteDirection(JsonWriter &w, const char *name, const CellResult &c, uint64_t n,
                    const LatStats &lat) {
  w.Key(name);
  w.BeginObject();
  w.MemberUint("transfers", n);
  w.MemberUint("total_ios", n);
  w.MemberInt("iops", CellIops(n, c.window_ms));
  w.MemberInt("bw_bytes", CellBytesPerSec(n, c.BlkSz, c.window_ms));
  if (c.has_lat) WriteLatencyNs(w, lat);
  w.EndObject();
}

void WriteCell(JsonWriter &w, const CellResult &c) {
  uint64_t total = 0;
  for (uint64_t n : c.worker_transfers) total += n;
  const int64_t bw = CellBytesPerSec(total, c.BlkSz, c.window_ms);
  w.BeginObject();
  w.MemberString("test", c.rw == 2 ? "mix" : c.rw == 0 ? "read" : "write");
  if (c.rw == 2) w.MemberInt("read_share", c.read_share);
  w.MemberInt("block_size", c.BlkSz);
  w.MemberInt("workers", static_cast<int64_t>(c.worker_transfers.size()));
  w.MemberInt("window_ms", c.window_ms);
  w.MemberInt("runtime_ms", c.window_ms);
  w.MemberInt("window_start_ms", c.window_start_ms);
  w.MemberUint("transfers", total);
  w.MemberUint("total_ios", total);
  w.MemberInt("iops", CellIops(total, c.window_ms));
  w.MemberInt("bytes_per_second", bw);
  w.MemberInt("bw_bytes", bw);
  w.MemberUint("errors", c.errors);
  w.MemberUint("io_errors", c.io_errors);
  w.MemberUint("cpu_user_us", c.cpu_user_us);
  w.MemberUint("cpu_sys_us", c.cpu_sys_us);
  w.Key("worker_transfers");
  w.BeginArray();
  for (uint64_t n : c.worker_transfers) w.Uint(n);
  w.EndArray();
  w.Key("iops_series");
  w.BeginArray(true);
  for (uint64_t n : c.iops_series) w.Uint(n);
  w.EndArray();
  if (c.has_lat) {
    w.Key("latency_us");
    w.BeginObject();
    Micros(w, "p50", c.lat.p50);
    Micros(w, "p99", c.lat.p99);
    Micros(w, "p99_9", c.lat.p99_9);
    Micros(w, "max", c.lat.max);
    w.EndObject();
    WriteLatencyNs(w, c.lat_stats);
    WriteHistogram(w, c);
  }
  if (c.rw == 2) {
    const uint64_t reads = std::min(c.reads, total);
    WriteDirection(w, "read", c, reads, c.read_lat);
    WriteDirection(w, "write", c, total - reads, c.write_lat);
  }
  w.EndObject();
}

}  // namespace

int64_t CellIops(uint64_t transfers, int64_t window_ms) {
  return window_ms > 0 ? static_cast<int64_t>(transfers) * 1000 / window_ms : 0;
}

int64_t CellBytesPerSec(uint64_t transfers, int BlkSz, int64_t window_ms) {
  return window_ms > 0
             ? static_cast<int64_t>(BlkSz) * static_cast<int64_t>(transfers) * 1000 / window_ms
             : 0;
}

void WriteResults(JsonWriter &w, const BenchConfig &cfg, const BenchResults &r) {
  char when[32] = "";
  tm t{};
  if (gmtime_r(&r.start_time, &t) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
  w.BeginObject();
  w.MemberString("program", "vexbench");
  w.MemberString("version", r.version);
  w.MemberInt("schema", kResultsSchema);
  w.MemberString("start_time", when);
  w.MemberBool("ok", r.ok);
  WriteSettings(w, cfg, r.latency);
  w.Key("devices");
  w.BeginArray();
  // The paths the set-up opened (an empty name stood for the first path).
  const bool set_up = cfg.mode == kModeTables || cfg.Sampling();
  for (int i = 0; i < static_cast<int>(cfg.devices.size()) && i < kMaxThreads; i++)
    w.String(set_up && i < cfg.Descriptors() ? cfg.PathOf(i) : cfg.devices[static_cast<size_t>(i)]);
  w.EndArray();
  w.Key("cells");
  w.BeginArray();
  for (const CellResult &c : r.cells) WriteCell(w, c);
  w.EndArray();
  if (cfg.Sampling()) {
    w.Key("samples");
    w.BeginArray();
    for (const SampleRow &s : r.samples) {
      w.BeginObject();
      w.MemberInt("worker", s.worker);
      w.MemberString("device", s.device);
      w.MemberInt("interval_s", s.interval_s);
      w.Key("counts");
      w.BeginArray();
      for (int n : s.counts) w.Int(n);
      w.EndArray();
      w.EndObject();
    }
    w.EndArray();
  }
  w.EndObject();
}

void CheckResultsFile(const std::string &path) {
  RefuseNotAFile(path);
  std::string tmp;
  int fd = CreateBeside(path, tmp);
  if (fd < 0) Fatal("Error opening results file %s - %d\n", path.c_str(), errno);
  close(fd);
  unlink(tmp.c_str());
}

void WriteResultsFile(const std::string &path, const BenchConfig &cfg, const BenchResults &r) {
  RefuseNotAFile(path);  // again: the run may have taken hours
  // SIGTERM, SIGINT and SIGHUP are held off while the new file exists under
  // its own name, so that none of them leaves it behind; they end the
  // process when it is renamed or removed.
  sigset_t hold, old;
  sigemptyset(&hold);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&hold, sig);
  sigprocmask(SIG_BLOCK, &hold, &old);
  std::string tmp;
  int fd = CreateBeside(path, tmp);
  int err = errno;
  if (fd < 0) {
    sigprocmask(SIG_SETMASK, &old, nullptr);
    Fatal("Error opening results file %s - %d\n", path.c_str(), err);
  }
  FILE *f = fdopen(fd, "w");
  bool ok = f != nullptr;
  if (f == nullptr) {
    err = errno;
    close(fd);
  } else {
    JsonWriter w(f, true);
    WriteResults(w, cfg, r);
    ok = w.Finish();
    err = errno;
    if (ok && fsync(fd) != 0) {
      ok = false;
      err = errno;
    }
    if (std::fclose(f) != 0 && ok) {
      ok = false;
      err = errno;
    }
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) unlink(tmp.c_str());
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!ok) Fatal("Error writing results file %s - %d\n", path.c_str(), err);
}
