// SPDX-License-Identifier: Apache-2.0
// The one definition of every setting.
#include "xtl.h"

uint32_t v_QuickFlg;
uint64_t v_Offset0;
uint32_t v_WtBlkSz;
uint32_t v_WtBlkStripeCnt;
uint32_t v_WtSegSz;
uint64_t v_DevSz;
uint32_t v_Free;
uint32_t v_Ver;
uint32_t v_BigFlg;
uint32_t v_VmFlg;
uint32_t v_Vm2CompFlg;
uint32_t v_Vm2Flg;
uint32_t v_DeDupe;
uint32_t v_Comp;
uint32_t v_CompBytes;
uint32_t v_CompMax;
uint32_t v_Bits;
uint32_t v_MetaDupeCnt;
uint32_t v_EccRaid5;
uint32_t v_EccRaid6;
uint32_t v_EccWidth;
uint32_t v_EccDepth;
std::string v_TmpDir;
uint32_t v_SvWbCnt;
uint32_t v_SvScCnt;
uint32_t v_HashTp;
uint32_t v_HashFlg;
uint32_t v_SummaryMeta;
uint32_t v_Migrate_Flg;
uint64_t v_Migrate_LinOff0;
uint64_t v_Migrate_LinOff1;
uint64_t v_Migrate_LinBlks;
uint64_t v_HdrOff;
uint32_t v_AutoVm;

std::string v_DevName;
uint64_t v_ConvSz;
int v_HdrN;
uint64_t v_TrackN;
std::string v_LogSource;
std::string v_LogTarget;
std::vector<std::string> v_DevList;
int v_DevCnt;
uint64_t v_CheckFirst;
uint64_t v_CheckCount;
int v_CheckArgs;
uint32_t v_Json;
uint32_t v_Force;
std::string v_Undo;
std::string v_UndoFile;
std::string v_CmdLine;
int v_cmd;

