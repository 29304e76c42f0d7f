/*
 * SrvWire.cpp - the frames a session sends, made in one place: error
 * codes and messages (also to a version-1 peer), the greeting, the
 * result's numbers, K, and the frames of output (O, E, L).
 */
#include "SrvWire.h"

#include <string.h>

namespace {

const SrvErrorText &Error(SrvErr err)
{
    return kSrvErrors[static_cast<int>(err)];
}

bool AddLimit(SrvBuf *pJson, const char *pKey, uint64_t value)
{
    return SrvBuf_AddStr(pJson, ",\"") && SrvBuf_AddStr(pJson, pKey) &&
           SrvBuf_AddStr(pJson, "\":") && SrvBuf_AddNum(pJson, value);
}

} // namespace

bool SrvWire_Greeting(SrvBuf *pJson, const SrvHello &hello, bool manifest)
{
    const bool ok =
        SrvBuf_AddStr(pJson, "{\"protocol\":") && SrvBuf_AddNum(pJson, kSrvProtocol) &&
        SrvBuf_AddStr(pJson, ",\"product\":\"kxMUti\",\"after\":true,\"manifest\":") &&
        (manifest ? Srv_ManifestJson(pJson) : SrvBuf_AddStr(pJson, "{}")) &&
        SrvBuf_AddStr(pJson, ",\"auth\":\"") &&
        SrvBuf_AddStr(pJson, hello.token ? "token" : "none") &&
        SrvBuf_AddStr(pJson, "\",\"limits\":{\"line\":") && SrvBuf_AddNum(pJson, KXSRV_LINE_MAX) &&
        AddLimit(pJson, "frame", KXSRV_FRAME_MAX) && AddLimit(pJson, "chunk", KXSRV_CHUNK_MAX) &&
        AddLimit(pJson, "buffer", KXSRV_BUFFER_MAX) && AddLimit(pJson, "kept", KXSRV_KEPT) &&
        AddLimit(pJson, "keptBytes", KXSRV_KEPT_BYTES) &&
        AddLimit(pJson, "keptTotal", KXSRV_KEPT_TOTAL) && AddLimit(pJson, "ids", KXSRV_IDS) &&
        AddLimit(pJson, "queue", KXSRV_QUEUE_MAX) && AddLimit(pJson, "sessions", hello.sessions) &&
        AddLimit(pJson, "idle", hello.idleS) && SrvBuf_AddStr(pJson, "}}");
    return ok && SrvBuf_Used(pJson) <= kSrvGreetingMax;
}

bool SrvWire_Hello(SrvBuf *pOut, const SrvBuf &json, uint32_t nextId)
{
    const uint32_t nums[2] = {kSrvProtocol, nextId};
    return SrvBuf_AddFrameNums(pOut, 'G', 0, nums, 2, json.p + json.head, SrvBuf_Used(&json));
}

bool SrvWire_Started(SrvBuf *pOut, uint32_t id)
{
    return SrvBuf_AddFrame(pOut, 'K', id, 0, nullptr, 0);
}

bool SrvWire_Piece(SrvBuf *pOut, int stream, uint32_t id, uint32_t offset, const void *p,
                   uint32_t n)
{
    return SrvBuf_AddFrame(pOut, stream == 1 ? 'O' : 'E', id, offset, p, n);
}

bool SrvWire_Pieces(SrvBuf *pOut, int stream, uint32_t id, const char *p, uint32_t n)
{
    for (uint32_t off = 0; off < n; off += KXSRV_CHUNK_MAX) {
        const uint32_t len = n - off < KXSRV_CHUNK_MAX ? n - off : KXSRV_CHUNK_MAX;
        if (!SrvWire_Piece(pOut, stream, id, off, p + off, len))
            return false;
    }
    return true;
}

bool SrvWire_Log(SrvBuf *pOut, int stream, const void *p, uint32_t n)
{
    return SrvBuf_AddFrame(pOut, 'L', 0, static_cast<uint32_t>(stream), p, n);
}

bool SrvWire_Result(SrvBuf *pOut, const SrvResult &r, bool replay, const void *pTail,
                    uint32_t nTail)
{
    uint32_t nums[kSrvRNums];
    uint32_t flags = (r.failed ? kSrvFlagFailed : 0u) | (r.cancelled ? kSrvFlagCancelled : 0u) |
                     (replay ? kSrvFlagReplay : 0u) | (r.kept ? 0u : kSrvFlagNotKept);
    uint64_t time = r.us;
    if (time > UINT32_MAX) {
        time /= 1000u; /* 49 days fit in milliseconds */
        flags |= kSrvFlagMs;
    }
    nums[kSrvRStatus] = r.status;
    nums[kSrvROut] = r.nOut;
    nums[kSrvRErr] = r.nErr;
    nums[kSrvRUs] = time > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(time);
    nums[kSrvRFlags] = flags;
    uint32_t nNums = kSrvRNums;
    while (nNums > kSrvRErr && nums[nNums - 1] == 0)
        nNums--;
    return SrvBuf_AddFrameNums(pOut, 'R', r.id, nums, nNums, pTail, nTail);
}

bool SrvWire_Error(SrvBuf *pOut, uint32_t id, SrvErr err)
{
    const SrvErrorText &e = Error(err);
    return SrvBuf_AddFrame(pOut, 'X', id, e.code, e.pMessage,
                           static_cast<uint32_t>(strlen(e.pMessage)));
}

bool SrvWire_ErrorV1(SrvBuf *pOut, SrvErr err)
{
    const SrvErrorText &e = Error(err);
    const uint32_t len = static_cast<uint32_t>(strlen(e.pMessage));
    if (!SrvBuf_Reserve(pOut, SrvFrame_SizeV1(len)))
        return false;
    pOut->len += SrvFrame_EncodeV1(pOut->p + pOut->len, 'X', 0, e.code, e.pMessage, len);
    return true;
}

uint32_t SrvWire_ErrorNow(char *pDst, SrvErr err)
{
    const SrvErrorText &e = Error(err);
    return SrvFrame_Encode(pDst, 'X', 0, e.code, e.pMessage,
                           static_cast<uint32_t>(strlen(e.pMessage)));
}
