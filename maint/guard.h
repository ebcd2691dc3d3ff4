// SPDX-License-Identifier: Apache-2.0
// Wrong-device guards of the commands that overwrite a device: before the
// first byte is written they look at what the device holds (an XTL header at
// the header offset, or any signature libblkid knows) and refuse, or warn and
// ask. --force (v_Force) skips them. A guard that cannot read the device
// (a read error, or a probe that libblkid reports as failed) refuses:
// "Error: cannot read DEV to see what it holds ERRNO (--force skips the
// check)", status 1, nothing written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What an XTL header in these 512 bytes is: "an XTL 2.0 header
// (PhysicalBlocks N)" for the version 2.0 tag with a sound checksum, "an XTL
// 1.1 header (PhysicalBlocks N)" for the version 1.1 tag; empty otherwise.
std::string DescribeXtlHdr(const uint8_t *hdr512);

// Reads the 512 bytes at sector `sector` of fd into hdr512: 1 when read
// whole, 0 (hdr512 zeroed) when the device ends before them, -1 with errno
// set on a read error.
int ReadHdrAt(int fd, uint64_t sector, uint8_t *hdr512);

// True for "y" or "yes" in any case, blanks and the line end around it ignored.
bool AnswerIsYes(const std::string &line);

// log clear: fatal when the device behind fd (opened for writing) holds an
// XTL header at sector v_HdrOff or a foreign signature.
void GuardLogClear(int fd, const std::string &path);

// log post: fatal when the device behind fd (opened for writing) holds a
// foreign signature. A device without an XTL header is posted all the same.
void GuardLogPost(int fd, const std::string &path);

// format: fd is open for reading and writing. When it holds an XTL header at
// sector v_HdrOff or a foreign signature, one line on err says so; then, when
// in is a terminal, "Proceed anyway? (y,N) " is asked on err and anything but
// y or yes is fatal. Off a terminal the format goes on after the line.
void GuardFormat(int fd, const std::string &path, FILE *in = stdin, FILE *err = stderr);
