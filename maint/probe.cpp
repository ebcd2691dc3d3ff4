// SPDX-License-Identifier: Apache-2.0
#include "probe.h"

#include <blkid/blkid.h>

#include <memory>

namespace {
struct FreeProbe {
  void operator()(blkid_probe pr) const { blkid_free_probe(pr); }
};

std::string Value(blkid_probe pr, const char *name) {
  const char *v = nullptr;
  if (blkid_probe_lookup_value(pr, name, &v, nullptr) != 0 || v == nullptr) return {};
  return v;
}

std::string Article(const std::string &word) {
  const char c = word.empty() ? 'x' : word[0];
  const bool vowel = c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'A' ||
                     c == 'E' || c == 'I' || c == 'O' || c == 'U';
  return vowel ? "an " : "a ";
}
}  // namespace

std::string ProbeSignature(int fd) {
  std::unique_ptr<blkid_struct_probe, FreeProbe> pr(blkid_new_probe());
  if (!pr || blkid_probe_set_device(pr.get(), fd, 0, 0) != 0) return {};
  blkid_probe_enable_superblocks(pr.get(), 1);
  blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
  blkid_probe_enable_partitions(pr.get(), 1);
  blkid_probe_set_partitions_flags(pr.get(), BLKID_PARTS_ENTRY_DETAILS);
  // The first signature found; an ambiguous device (two signatures) is
  // reported by its first one all the same.
  if (blkid_do_probe(pr.get()) != 0) return {};
  const std::string type = Value(pr.get(), "TYPE");
  const std::string usage = Value(pr.get(), "USAGE");
  const std::string pttype = Value(pr.get(), "PTTYPE");
  if (type.empty() && !pttype.empty()) return Article(pttype) + pttype + " partition table";
  if (type.empty()) return {};
  if (type == "swap") return "a swap area";
  if (usage == "filesystem") return Article(type) + type + " file system";
  if (usage == "raid") return Article(type) + type + " RAID or LVM member";
  if (usage == "crypto") return Article(type) + type + " encrypted volume";
  return Article(type) + type + " signature";
}
