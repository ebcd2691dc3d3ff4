// SPDX-License-Identifier: Apache-2.0
// What libblkid finds on a device: the signature of a file system, a
// partition table, RAID or LVM metadata, swap or an encrypted volume. The
// writing commands use it to refuse or warn before they overwrite something
// that is not theirs; check names it when a device holds no XTL header.
#pragma once

#include <string>

// Describes the first signature libblkid finds on the open handle fd, as the
// words that follow "DEV contains " ("an ext4 file system", "a swap area",
// "a dos partition table", "an LVM2_member RAID or LVM member"); empty when it
// finds none (or cannot probe the handle).
std::string ProbeSignature(int fd);

// The same, for the guards of the writing commands, which must not take a
// device they could not read for an empty one: err is the errno of a probe
// that failed (a read error, or libblkid's own failure), 0 when it ran.
struct ProbeResult {
  std::string what;
  int err = 0;
};
ProbeResult ProbeDevice(int fd);
