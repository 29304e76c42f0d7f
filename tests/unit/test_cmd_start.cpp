/* Start-up, records and constructors of the interpreter. */
#include <cstring>

#include <gtest/gtest.h>

#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

kxMUtiCmd_Def_t *DefAt(const kxMUtiCmd_Defs_t *pDefs, uint32_t i)
{
    return static_cast<kxMUtiCmd_Def_t *>(pDefs->pDefVec->pEntries[i]);
}

using StartTest = InterpTest;

TEST_F(StartTest, GlobalTableHoldsTheEightBuiltinsInHelpOrder)
{
    struct Row {
        const char *name, *alias, *format;
        uint32_t flags;
    };
    const Row rows[] = {
        {"help", "?", "%E%s?", 0},       {"quit", nullptr, "%E", 0},
        {"msleep", nullptr, "%u", 0},    {"autosleep", nullptr, "%E%u", 0},
        {"verbose", nullptr, "%E%u", 0}, {"echo", nullptr, "%l", 0},
        {"source", nullptr, "%E%s", 0},  {"#", nullptr, "", 1},
    };
    ASSERT_NE(gpkxMUtiCmd_DefsGlobal, nullptr);
    ASSERT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
    ASSERT_EQ(gpkxMUtiCmd_DefsGlobal->pDefVec->used, 8u);
    for (uint32_t i = 0; i < 8; i++) {
        const kxMUtiCmd_Def_t *pDef = DefAt(gpkxMUtiCmd_DefsGlobal, i);
        SCOPED_TRACE(rows[i].name);
        EXPECT_STREQ(pDef->pName, rows[i].name);
        if (rows[i].alias == nullptr)
            EXPECT_EQ(pDef->pAlias, nullptr);
        else
            EXPECT_STREQ(pDef->pAlias, rows[i].alias);
        EXPECT_STREQ(pDef->invokeFormat, rows[i].format);
        EXPECT_EQ(pDef->flags, rows[i].flags);
        EXPECT_EQ(pDef->userData, 0u);
        EXPECT_NE(pDef->handler, nullptr);
        EXPECT_NE(pDef->pHelp, nullptr);
    }
    EXPECT_STREQ(DefAt(gpkxMUtiCmd_DefsGlobal, 0)->pHelp,
                 "([<substring>]) Prints commands.\nOptional substring used for matching "
                 "commands.\n");
    EXPECT_STREQ(DefAt(gpkxMUtiCmd_DefsGlobal, 7)->pHelp, "Comment line - ignored");
}

TEST_F(StartTest, GlobalContextStartsEmptyWithoutParent)
{
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecGlobal();
    ASSERT_NE(pExec, nullptr);
    EXPECT_EQ(pExec, gpkxMUtiCmd_ExecGlobal);
    EXPECT_EQ(pExec->pDefs, gpkxMUtiCmd_DefsGlobal);
    EXPECT_EQ(pExec->pParent, nullptr);
    EXPECT_STREQ(pExec->pPrompt, ":) ");
    EXPECT_EQ(pExec->autoSleepMs, 0u);
    EXPECT_EQ(pExec->flags, 0u);
    EXPECT_EQ(pExec->pFileName, nullptr);
    /* The containers a line needs, with their initial sizes and policy. */
    EXPECT_EQ(pExec->pLineBuf->spare, 1024u);
    EXPECT_EQ(pExec->pLineBuf->growPolicy, 0x02000400u);
    EXPECT_EQ(pExec->pWords->allocated, 10u);
    EXPECT_EQ(pExec->pTempVec->allocated, 100u);
}

TEST_F(StartTest, StartupRegistersTheModuleAndSwitchesErrorsOn)
{
    ASSERT_NE(gkxMUtiCmd_DbgUnit, nullptr);
    EXPECT_NE(*gkxMUtiCmd_DbgUnit & 0x8000u, 0u);
}

TEST_F(StartTest, StartupTraceIsGatedByTheFlagWords)
{
    DbgRecorder dbg;
    *gkxMUtiCmd_DbgUnit = 0x100;
    kxMUtiCmd_Init(0);
    EXPECT_EQ(dbg.PrintsAt(0x100), std::vector<std::string>{"kxMUtiCmd_Init"});
}

TEST_F(StartTest, ContextMadeAfterStartHasTheGlobalContextAsParent)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    ASSERT_NE(pDefs, nullptr);
    EXPECT_EQ(pDefs->nDefs, 0u);
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(pDefs);
    ASSERT_NE(pExec, nullptr);
    EXPECT_EQ(pExec->pParent, gpkxMUtiCmd_ExecGlobal);
    EXPECT_EQ(pExec->pDefs, pDefs);
}

TEST_F(StartTest, ContextMadeBeforeStartHasNoParent)
{
    ParkGlobals();
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
    ASSERT_NE(pExec, nullptr);
    EXPECT_EQ(pExec->pParent, nullptr);
}

TEST_F(StartTest, PromptIsTakenAtCreationAndSetPerContext)
{
    static const char kPrompt[] = "dev> ";
    kxMUtiCmd_Exec_t *pBefore = kxMUtiCmd_ExecNew(nullptr);
    gkxMUtiCmd_Prompt = kPrompt;
    kxMUtiCmd_Exec_t *pAfter = kxMUtiCmd_ExecNew(nullptr);
    EXPECT_STREQ(pBefore->pPrompt, ":) ");
    EXPECT_EQ(pAfter->pPrompt, kPrompt); /* the pointer itself, not a copy */
    EXPECT_STREQ(gpkxMUtiCmd_ExecGlobal->pPrompt, ":) ");

    kxMUtiCmd_PromptSet(nullptr, "g> ");
    EXPECT_STREQ(gpkxMUtiCmd_ExecGlobal->pPrompt, "g> ");
    EXPECT_STREQ(pBefore->pPrompt, ":) ");
    kxMUtiCmd_PromptSet(pBefore, nullptr);
    EXPECT_EQ(pBefore->pPrompt, nullptr);
}

TEST_F(StartTest, ParentSetLinksAndUnlinks)
{
    kxMUtiCmd_Exec_t *pA = kxMUtiCmd_ExecNew(nullptr);
    kxMUtiCmd_Exec_t *pB = kxMUtiCmd_ExecNew(nullptr);
    kxMUtiCmd_ParentSet(pB, pA);
    EXPECT_EQ(pB->pParent, pA);
    kxMUtiCmd_ParentSet(pB, nullptr);
    EXPECT_EQ(pB->pParent, nullptr);
}

TEST_F(StartTest, CommentCommandIsNamedAfterTheCharacterAtStartup)
{
    gkxMUtiCmd_CommentChar = ';';
    kxMUtiCmd_Init(0);
    const kxMUtiCmd_Def_t *pDef = DefAt(gpkxMUtiCmd_DefsGlobal, 7);
    EXPECT_STREQ(pDef->pName, ";");
    gkxMUtiCmd_CommentChar = '!';
    EXPECT_STREQ(pDef->pName, ";") << "changing the character later renames nothing";
}

TEST_F(StartTest, SecondStartKeepsThePreviousContextAsParent)
{
    kxMUtiCmd_Exec_t *pOld = gpkxMUtiCmd_ExecGlobal;
    kxMUtiCmd_Defs_t *pOldDefs = gpkxMUtiCmd_DefsGlobal;
    kxMUtiCmd_Add(nullptr, Recorder::Handler, "mine", nullptr, 0, "", 0, nullptr);
    kxMUtiCmd_Init(0);
    EXPECT_NE(gpkxMUtiCmd_DefsGlobal, pOldDefs);
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal->pParent, pOld);
}

TEST_F(StartTest, FileNameIsEmptyTextWhenNoFileRuns)
{
    kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
    EXPECT_STREQ(kxMUtiCmd_ExecCurrentFileNameGet(pExec), "");
    pExec->pFileName = "x.kx";
    EXPECT_STREQ(kxMUtiCmd_ExecCurrentFileNameGet(pExec), "x.kx");
}

TEST_F(StartTest, MallocZeroFillsAndReportsFailure)
{
    auto *p = static_cast<unsigned char *>(kxMUtiCmd_Malloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(p[i], 0);
    free(p);

    DbgRecorder dbg;
    FaultGuard guard;
    MUti_FaultArm(0, false);
    EXPECT_EQ(kxMUtiCmd_Malloc(100), nullptr);
    EXPECT_EQ(dbg.PrintsAt(0x8000),
              std::vector<std::string>{"kxMUtiCmd_Malloc: alloc 100 bytes failed => 0xffffffff"});
}

TEST_F(StartTest, ConstructorsFailWholeWhenMemoryRunsOut)
{
    DbgRecorder dbg;
    unsigned runs = ForEachAllocFailure([] {
        kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
        if (pDefs != nullptr) {
            EXPECT_EQ(MUti_FaultInjected(), 0u);
            ASSERT_NE(pDefs->pDefVec, nullptr);
            kxMUtiVec_Free(pDefs->pDefVec);
            free(pDefs);
        }
    });
    EXPECT_GE(runs, 3u); /* record, vector record, vector array */
    runs = ForEachAllocFailure([] {
        kxMUtiCmd_Exec_t *pExec = kxMUtiCmd_ExecNew(nullptr);
        if (pExec != nullptr) {
            EXPECT_EQ(MUti_FaultInjected(), 0u);
            kxMUtiStrx_Free(pExec->pLineBuf);
            kxMUtiVec_Free(pExec->pWords);
            kxMUtiVec_Free(pExec->pTempVec);
            free(pExec);
        }
    });
    EXPECT_GE(runs, 7u); /* record and three containers of two blocks each */
}

TEST_F(StartTest, StartupReportsMissingGlobalsAndStillReturnsOk)
{
    DbgRecorder dbg;
    FaultGuard guard;
    ParkGlobals();
    MUti_FaultArm(0, true); /* nothing can be allocated at all */
    EXPECT_EQ(kxMUtiCmd_Init(0), KX_OK);
    MUti_FaultDisarm();
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal, nullptr);
    EXPECT_EQ(gpkxMUtiCmd_ExecGlobal, nullptr);
    auto asserts = dbg.Asserts();
    ASSERT_EQ(asserts.size(), 2u);
    EXPECT_EQ(asserts[0].cond, "gpkxMUtiCmd_DefsGlobal != Null");
    EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiCmd");
    EXPECT_EQ(asserts[0].line, 1153);
    EXPECT_FALSE(asserts[0].hasDetail);
    EXPECT_EQ(asserts[1].cond, "gpkxMUtiCmd_ExecGlobal != Null");
    EXPECT_EQ(asserts[1].line, 1157);
    /* Without a table or context every door stays safe. */
    EXPECT_EQ(kxMUtiCmd_Add(nullptr, Recorder::Handler, "x", nullptr, 0, "", 0, nullptr), nullptr);
    EXPECT_EQ(kxMUtiCmd_Match(nullptr, "help"), (uint32_t)kxMUtiCmd_MatchNone);
    EXPECT_EQ(kxMUtiCmd_ExecLine(nullptr, "help"), kxMUtiCmd_StatusNoWords);
}

TEST_F(StartTest, StartupWithEveryAllocationFailingInTurnNeverBreaks)
{
    DbgRecorder dbg;
    ForEachAllocFailure([] {
        ParkGlobals();
        EXPECT_EQ(kxMUtiCmd_Init(0), KX_OK);
        /* Whatever was made is consistent: the count matches the entries. */
        if (gpkxMUtiCmd_DefsGlobal != nullptr) {
            EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, gpkxMUtiCmd_DefsGlobal->pDefVec->used);
        }
    });
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
}

} // namespace
