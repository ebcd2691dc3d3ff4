// SPDX-License-Identifier: Apache-2.0
// Expected output shared by the format tests: what a default format of a
// 2^40-byte device prints (trace and report).
#pragma once

inline constexpr char kDefaultOut[] =
    "dev_NumWtBlks    = 1048575\n"
    "WtBlkSz          = 1048576\n"
    "v_WtBlkStripeCnt = 1\n"
    "PhysicalBlocks   = 268435200\n"
    "ProvPct          = 90\n"
    "LogicalBlocks    = 241591680\n"
    "LbaSz            = 4\n"
    "MetaSz           = 4\n"
    "main_NumWtBlks   = 1048575\n"
    "\n"
    "Formattting: Dev = 1,024 GiB / 1,099 GB   Opts = HASH_META\n"
    "\n"
    "             WtBlkSz =       1,024 KB\n"
    "             WtSegSz =           0 KB\n"
    "\n"
    "   Phy Size:      268,435,200 4K blocks    1,023 GiB    1,099 GB   30/2/0/0\n"
    "   Log Size:      241,591,680 4K blocks      921 GiB      989 GB\n"
    "vm Phy Size:                0 4K blocks        0   B        0  B   0/0/0/0\n"
    "vm Log Size:                0 4K blocks        0   B        0  B\n"
    "\n";
