/* DbgRecorder.cpp - see DbgRecorder.h. */
#include "DbgRecorder.h"

#include "qvStbDbgTest.h"

DbgRecorder::DbgRecorder()
{
    qvStbDbg_TestQuiet(1);
    qvStbDbg_TestClear();
}

/* The stand-in stays quiet once a recorder was made: a test program's
 * standard error is for the test framework, and the recorder keeps what
 * was sent. */

void DbgRecorder::Clear()
{
    qvStbDbg_TestClear();
}

std::vector<DbgPrint> DbgRecorder::Prints() const
{
    std::vector<DbgPrint> prints;
    for (uint32_t i = 0; i < qvStbDbg_TestCount(); i++) {
        const qvStbDbg_Event_t *pEvent = qvStbDbg_TestEvent(i);
        if (pEvent->kind == qvStbDbg_EventPrint)
            prints.push_back({pEvent->level, pEvent->text});
    }
    return prints;
}

std::vector<DbgAssert> DbgRecorder::Asserts() const
{
    std::vector<DbgAssert> asserts;
    for (uint32_t i = 0; i < qvStbDbg_TestCount(); i++) {
        const qvStbDbg_Event_t *pEvent = qvStbDbg_TestEvent(i);
        if (pEvent->kind == qvStbDbg_EventAssert)
            asserts.push_back(
                {pEvent->text, pEvent->file, pEvent->line, pEvent->hasDetail != 0, pEvent->detail});
    }
    return asserts;
}

std::vector<std::string> DbgRecorder::PrintsAt(uint32_t level) const
{
    std::vector<std::string> texts;
    for (const DbgPrint &print : Prints())
        if (print.level == level)
            texts.push_back(print.text);
    return texts;
}
