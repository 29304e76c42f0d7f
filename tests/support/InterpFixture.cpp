/* InterpFixture.cpp - see InterpFixture.h. */
#include "InterpFixture.h"

#include "qvStbDbgTest.h"

std::vector<Slots> Recorder::calls;
uint32_t Recorder::status = 0x1234;

uint32_t Recorder::Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4,
                           kxWord_t a5, kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    calls.push_back({a0, a1, a2, a3, a4, a5, a6, a7, a8, a9});
    return status;
}

namespace {
/* Records of earlier starts: never freed by design, kept reachable here. */
std::vector<void *> gParked;
} // namespace

void InterpTest::ParkGlobals()
{
    if (gpkxMUtiCmd_DefsGlobal != nullptr)
        gParked.push_back(gpkxMUtiCmd_DefsGlobal);
    if (gpkxMUtiCmd_ExecGlobal != nullptr)
        gParked.push_back(gpkxMUtiCmd_ExecGlobal);
    gpkxMUtiCmd_DefsGlobal = nullptr;
    gpkxMUtiCmd_ExecGlobal = nullptr;
}

void InterpTest::SetUp()
{
    ParkGlobals();
    gkxMUtiCmd_Prompt = ":) ";
    gkxMUtiCmd_CommentChar = '#';
    qvStbDbg_TestPlatformFlagsSet(0);
    qvStbDbg_TestQuiet(1);
    if (gkxMUtiCmd_DbgUnit != nullptr)
        *gkxMUtiCmd_DbgUnit = 0; /* start-up sets the error bit again */
    Recorder::Reset();
    ASSERT_EQ(kxMUtiCmd_Init(0), KX_OK);
}

kxMUtiCmd_Def_t *InterpTest::AddRec(const char *pName, const char *pFormat, kxMUtiCmd_Defs_t *pDefs,
                                    kxWord_t userData)
{
    return kxMUtiCmd_Add(pDefs, Recorder::Handler, pName, nullptr, 0, pFormat, userData, nullptr);
}

std::string InterpTest::SlotText(size_t call, size_t i)
{
    const char *p = AsText(Recorder::calls.at(call)[i]);
    return p != nullptr ? p : "(null)";
}
