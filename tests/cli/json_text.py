# SPDX-License-Identifier: Apache-2.0
# Prints the text output of status, dump, log scan or log disp from their
# --json document alone: the test compares it with the text run.
#   json_text.py status|dump|scan|disp DOC
import json
import sys

V20 = ("Str            = %10s\nVersion        = %10d\nBlkSize        = %10d\n"
       "Block0Off      = %10d sectors\nPhysicalBlocks = %10d\nLogicalBlocks  = %10d\n"
       "LogicalDataSz  = %10d M\nClusterSize    = %10d\nFeatureBits    =     0x%04X (%s)\n"
       "MetaDupe       = %10d\nBitSizes       = %10s\n")
LINE = "%8s %8d/%4d %2d  %2d %3d %8d %5d %5d %5d %2d/%2d %4d %3d/%1d %3d %16x %3d %s\n"


def status(d):
    h = d["header"]
    if h is None:
        return ""
    out = V20 % (h["Str"], h["Version"], h["BlkSize"], h["Block0Off"], h["PhysicalBlocks"],
                 h["LogicalBlocks"], h["LogicalDataSz"], h["ClusterSize"], h["FeatureBits"],
                 " ".join(h["Features"]), h["MetaDupe"], "/".join(map(str, h["BitSizes"])))
    if "ECC_width" in h:
        out += "            ECC width/depth = %d/%d\n" % (h["ECC_width"], h["ECC_depth"])
    return out


def line(h):
    nxt = h["Next"] or []
    s1 = "%d" % nxt[0] if len(nxt) == 1 else "%d %d/%d" % tuple(nxt) if nxt else ""
    return LINE % (h["Str"], *h["Pba"], h["R#"], h["sN"], h["sI"], h["seq"], h["Data"], h["Zero"],
                   h["Size"], *h["ECC"], h["Pad"], *h["Meta"], h["Sum"], int(h["hash"], 16),
                   h["Size"], s1)


def dump(d):
    out = "sizeof hdr = %d\noff NrDataBlocks = %d\nMetaBytes = %d\nMetaBits  = %d\n" % (
        d["sizeof_hdr"], d["off_NrDataBlocks"], d["MetaBytes"], d["MetaBits"])
    out += "Meta1Cnt  = %d\nWtBlk: %d K (%d blocks)\n\n" % (d["Meta1Cnt"], *d["WtBlk"])
    out += ("     Str      Pba      R#  sN  sI      seq  Data  Zero  Size --ECC  Pad  Meta Sum"
            "             hash Next\n")
    for seg in d["segments"]:
        out += "\n" + "".join(line(h) for h in seg["headers"])
    e = d["end"]
    if e["why"] == "hdr match" and "Off0" in e:
        out += "\nOff0 = %d  ! hdr match\n  blk hdr = %s\n  dev hdr = %s\n" % (
            e["Off0"], e["blk_hdr"], e["dev_hdr"])
    elif e["why"] == "hdr match":
        out += "! hdr match  pba = %d |%s|\n" % (e["pba"], e["Str"])
        out += ("i = %d  pba = %d  NrMetaBlocks = %d  NrMetaBlocksRepl = %d  NrSummaryBlocks = %d\n"
                % (e["i"], e["pba"], e["NrMetaBlocks"], e["NrMetaBlocksRepl"], e["NrSummaryBlocks"]))
    elif e["why"] == "empty segment":
        out += "Off0 = %d  ! empty segment, walk ends\n" % e["Off0"]
    return out


def scan(d):
    if d["log"] == "empty":
        return "    Log appears to be empty.\n"
    return ("    Log appears to be valid.\n      num segments = %d  (%d/%d)\n"
            "      num blocks   = %d\n      num sectors  = %d\n"
            % (d["num_segments"], *d["chains"], d["num_blocks"], d["num_sectors"]))


def disp(d):
    out = scan(d)
    for s in d["segments"]:
        for j, e in enumerate(s["entries"]):
            head = "%4d %10d" % (s["segment"], s["seq"]) if j == 0 else " " * 14
            out += "%s %10d %10d %4d %1d\n" % (head, s["LtSec"], e["TargetSector"],
                                               e["SectorCnt"], e["EntryTp"])
    return out


doc = json.load(open(sys.argv[2]))
sys.stdout.write({"status": status, "dump": dump, "scan": scan, "disp": disp}[sys.argv[1]](doc))
