/*
 * SrvWire.cpp - the frames a session sends, made in one place: error
 * codes and messages, the greeting's JSON, the result's JSON, K, and the
 * frames of output (O, E, L).
 */
#include "SrvWire.h"

#include <stdio.h>
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
        SrvBuf_AddStr(pJson,
                      "{\"protocol\":1,\"product\":\"kxMUti\",\"after\":true,\"manifest\":") &&
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

bool SrvWire_Hello(SrvBuf *pOut, const SrvBuf &json)
{
    return SrvBuf_AddFrame(pOut, 'G', 0, 1, json.p + json.head, SrvBuf_Used(&json));
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

bool SrvWire_Result(SrvBuf *pOut, const SrvResult &r, bool replay)
{
    const auto flag = [](bool b) { return b ? "true" : "false"; };
    char json[kSrvResultJsonMax];
    const int n =
        snprintf(json, sizeof json,
                 "{\"%s\":%u,\"%s\":%s,\"%s\":%llu,\"%s\":%u,\"%s\":%u,\"%s\":%s,"
                 "\"%s\":%s,\"%s\":%s}",
                 kSrvResultKey[0], r.status, kSrvResultKey[1], flag(r.failed), kSrvResultKey[2],
                 static_cast<unsigned long long>(r.us), kSrvResultKey[3], r.nOut, kSrvResultKey[4],
                 r.nErr, kSrvResultKey[5], flag(r.cancelled), kSrvResultKey[6], flag(replay),
                 kSrvResultKey[7], flag(r.kept));
    if (n <= 0 || static_cast<uint32_t>(n) >= sizeof json) [[unlikely]]
        return false;
    return SrvBuf_AddFrame(pOut, 'R', r.id, r.status, json, static_cast<uint32_t>(n));
}

bool SrvWire_Error(SrvBuf *pOut, uint32_t id, SrvErr err)
{
    const SrvErrorText &e = Error(err);
    return SrvBuf_AddFrame(pOut, 'X', id, e.code, e.pMessage,
                           static_cast<uint32_t>(strlen(e.pMessage)));
}

uint32_t SrvWire_ErrorNow(char *pDst, SrvErr err)
{
    const SrvErrorText &e = Error(err);
    return SrvFrame_Encode(pDst, 'X', 0, e.code, e.pMessage,
                           static_cast<uint32_t>(strlen(e.pMessage)));
}
