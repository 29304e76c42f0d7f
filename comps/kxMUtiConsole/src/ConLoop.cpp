/*
 * ConLoop.cpp - the interactive loop with line editing, on libedit.
 *
 * One editor and one history serve every loop of the process; nested loops
 * (a host's sub-environment entered from the prompt) borrow them and name
 * the context whose prompt is shown.  Keys are read here rather than by
 * libedit, so that Ctrl-C can abandon the line: the SIGINT handler only
 * sets a flag, and the key reader turns it into "end of line, abandoned".
 *
 * Signals: SIGINT is the console's from the outermost loop's start to its
 * end (while a command runs it cuts the built-in sleeps short); SIGWINCH
 * only while a line is read, so that a window resize cannot cut a command's
 * sleep short.  The caller's signal mask is never left changed.
 *
 * History: each line entered is appended to the host's file at once, under
 * an advisory lock, so a hangup loses nothing and shells sharing the file
 * merge their lines; the file is cut back to its newest lines now and then.
 */
#include <errno.h>
#include <fcntl.h>
#include <histedit.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/select.h>
#include <unistd.h>
#include <wchar.h>

#include <utility>

#include "Con.h"

namespace {

constexpr wchar_t kCtrlC = 0x03; /* bound to Abandon */
constexpr wchar_t kCtrlE = 0x05; /* ed-move-to-end: the cursor goes past the text first */
constexpr const char kAbandonedMark[] = "^C\n";

/* Process-wide editor state; zero while no loop edits. */
struct Console {
    EditLine *pEl;           /* the editor, null when not editing */
    History *pHist;          /* its history */
    History *pOne;           /* holds the one line being appended to the file */
    uint32_t appended;       /* lines appended to the file since it was last cut back */
    kxMUtiCmd_Exec_t *pExec; /* context of the innermost loop: its prompt is shown */
    uint32_t depth;          /* loops now editing, nested */
    bool abandoned;          /* the line just read was abandoned with Ctrl-C */
    wchar_t pending;         /* key queued by the reader, 0 for none */
    mbstate_t mbState;       /* partial multibyte key */
    char *pTabLine;          /* line at which the next Tab lists the candidates, or null */
    struct sigaction oldInt; /* SIGINT action before the outermost loop */
};

Console gCon;
char *gpHistoryPath;                          /* copy of the host's path, or null */
uint32_t gHistoryMax = KXCON_HISTORY_DEFAULT; /* entries kept */
volatile sig_atomic_t gInterrupted;           /* SIGINT seen since the flag was cleared */
volatile sig_atomic_t gResized;               /* SIGWINCH seen */
volatile sig_atomic_t gReading;               /* a line is being read, no command runs */

/* Ctrl-C.  At the prompt it abandons the line.  While a command runs it
 * cuts a sleep (no SA_RESTART) and ends a script after its current line;
 * the terminal has echoed "^C" where the
 * output stood; a line end puts what the command prints next on a line of
 * its own (write is safe in a handler; stdio is not). */
void OnInterrupt(int)
{
    gInterrupted = 1;
    if (gReading)
        return;
    kxMUtiCon_Cancel(); /* a script that source runs ends after this line */
    int saved = errno;
    ssize_t n = write(STDOUT_FILENO, "\n", 1);
    (void)n;
    errno = saved;
}

void OnResize(int)
{
    gResized = 1;
}

/* The prompt of the innermost loop's context, read afresh for every line;
 * none when the context has none or is not interactive (as the plain loop). */
char *Prompt(EditLine *)
{
    static char empty[] = "";
    const kxMUtiCmd_Exec_t *pExec = gCon.pExec;
    if (pExec == nullptr || pExec->pPrompt == nullptr ||
        (pExec->flags & kxMUtiCmd_ExecFlagInteractive) == 0)
        return empty;
    return const_cast<char *>(pExec->pPrompt);
}

/* Reads one key for the editor: 1 with *pKey set, 0 at end of input, -1 on
 * a read error.  A Ctrl-C (SIGINT) while waiting becomes the keys Ctrl-E
 * and Ctrl-C, so the cursor moves past the text before the line is
 * abandoned.  SIGINT and SIGWINCH are blocked except inside pselect, so one
 * that arrives between the check and the wait is not lost; the caller's
 * mask is back on return. */
int ReadKey(EditLine *pEl, wchar_t *pKey)
{
    sigset_t ours, caller, open;
    sigemptyset(&ours);
    sigaddset(&ours, SIGINT);
    sigaddset(&ours, SIGWINCH);
    sigprocmask(SIG_BLOCK, &ours, &caller);
    open = caller;
    sigdelset(&open, SIGINT);
    sigdelset(&open, SIGWINCH);
    int result = -1;
    for (;;) {
        if (gCon.pending != 0) {
            *pKey = gCon.pending;
            gCon.pending = 0;
            result = 1;
            break;
        }
        if (gInterrupted) {
            gInterrupted = 0;
            gCon.pending = kCtrlC;
            *pKey = kCtrlE;
            result = 1;
            break;
        }
        if (gResized) {
            gResized = 0;
            el_resize(pEl);
        }
        fd_set in;
        FD_ZERO(&in);
        FD_SET(STDIN_FILENO, &in);
        if (pselect(STDIN_FILENO + 1, &in, nullptr, nullptr, nullptr, &open) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char byte;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 0) {
            result = 0;
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            break;
        }
        wchar_t wc;
        size_t used = mbrtowc(&wc, &byte, 1, &gCon.mbState);
        if (used == static_cast<size_t>(-2))
            continue; /* more bytes of this character to come */
        if (used == static_cast<size_t>(-1)) {
            gCon.mbState = mbstate_t{};
            wc = static_cast<unsigned char>(byte); /* take a stray byte as it is */
        }
        *pKey = wc;
        result = 1;
        break;
    }
    sigprocmask(SIG_SETMASK, &caller, nullptr);
    return result;
}

/* Ctrl-C at the prompt: ends the read; the loop drops the line. */
unsigned char Abandon(EditLine *, int)
{
    gCon.abandoned = true;
    return CC_NEWLINE;
}

/* Characters in the first n bytes of pText by the current locale; a byte
 * that starts no character counts as one, as the key reader takes it. */
size_t CountChars(const char *pText, size_t n)
{
    mbstate_t state = {};
    size_t chars = 0;
    for (size_t at = 0; at < n; chars++) {
        size_t used = mbrlen(pText + at, n - at, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
            state = mbstate_t{};
            used = 1;
        }
        at += used;
    }
    return chars;
}

size_t Columns(const char *pText)
{
    return CountChars(pText, strlen(pText));
}

/* Prints candidates in columns under the line being edited. */
void List(EditLine *pEl, const kxMUtiVec_t *pCands)
{
    size_t width = 0;
    for (uint32_t i = 0; i < pCands->used; i++) {
        size_t n = Columns(static_cast<const char *>(pCands->pEntries[i]));
        width = n > width ? n : width;
    }
    int columns = 80;
    el_get(pEl, EL_GETTC, "co", &columns);
    size_t perRow = static_cast<size_t>(columns > 0 ? columns : 80) / (width + 2);
    perRow = perRow == 0 ? 1 : perRow;
    size_t rows = (pCands->used + perRow - 1) / perRow;
    fputc('\n', stdout);
    for (size_t r = 0; r < rows; r++) {
        for (size_t c = 0; c < perRow; c++) {
            size_t i = c * rows + r; /* down the columns, like ls */
            if (i >= pCands->used)
                break;
            const char *pText = static_cast<const char *>(pCands->pEntries[i]);
            bool last = c + 1 == perRow || (c + 1) * rows + r >= pCands->used;
            fputs(pText, stdout);
            for (size_t pad = Columns(pText); !last && pad < width + 2; pad++)
                fputc(' ', stdout);
        }
        fputc('\n', stdout);
    }
    fflush(stdout);
}

/* Length of the text that every candidate starts with. */
size_t CommonLength(const kxMUtiVec_t *pCands)
{
    const char *pFirst = static_cast<const char *>(pCands->pEntries[0]);
    size_t n = strlen(pFirst);
    for (uint32_t i = 1; i < pCands->used; i++) {
        const char *pOther = static_cast<const char *>(pCands->pEntries[i]);
        size_t k = 0;
        while (k < n && pOther[k] == pFirst[k])
            k++;
        n = k;
    }
    return n;
}

/* A copy of the line being edited (the locale's multibyte text), its
 * cursor as a byte offset; null when memory runs out. */
char *CopyLine(EditLine *pEl, size_t *pCursor)
{
    const LineInfo *pInfo = el_line(pEl);
    *pCursor = static_cast<size_t>(pInfo->cursor - pInfo->buffer);
    size_t length = static_cast<size_t>(pInfo->lastchar - pInfo->buffer);
    char *pLine = static_cast<char *>(malloc(length + 1));
    if (pLine == nullptr) [[unlikely]]
        return nullptr;
    memcpy(pLine, pInfo->buffer, length);
    pLine[length] = '\0';
    return pLine;
}

/* Tab: completes a single candidate (and a blank, unless it names a
 * folder), or the text all candidates share; the next Tab, when there is
 * nothing more to add, lists them.  Offsets in the line are bytes, but
 * libedit deletes characters: the typed part is counted in characters. */
unsigned char Complete(EditLine *pEl, int)
{
    size_t cursor = 0;
    char *pLine = CopyLine(pEl, &cursor);
    if (pLine == nullptr) [[unlikely]]
        return CC_REFRESH_BEEP;

    kxMUtiCon_Completion_t comp;
    unsigned char result = CC_REFRESH_BEEP;
    if (kxMUtiCon_Complete(gCon.pExec, pLine, static_cast<uint32_t>(cursor), &comp) == KX_OK &&
        comp.candidates.used > 0) {
        const kxMUtiVec_t *pCands = &comp.candidates;
        size_t typed = cursor - comp.start;
        const char *pFirst = static_cast<const char *>(pCands->pEntries[0]);
        size_t common = pCands->used == 1 ? strlen(pFirst) : CommonLength(pCands);
        bool again = gCon.pTabLine != nullptr && strcmp(gCon.pTabLine, pLine) == 0;
        if (pCands->used == 1 || common > typed) {
            el_deletestr(pEl, static_cast<int>(CountChars(pLine + comp.start, typed)));
            char *pInsert = static_cast<char *>(malloc(common + 2));
            if (pInsert != nullptr) {
                memcpy(pInsert, pFirst, common);
                bool blank = pCands->used == 1 && (common == 0 || pFirst[common - 1] != '/');
                pInsert[common] = ' ';
                pInsert[common + (blank ? 1 : 0)] = '\0';
                el_insertstr(pEl, pInsert);
                free(pInsert);
            }
            result = CC_REFRESH;
        } else if (again) {
            List(pEl, pCands);
            result = CC_REDISPLAY;
        }
    }
    /* The next Tab lists when this one left several candidates open:
     * nothing to add (a beep), or only their common part added. */
    bool open = result == CC_REFRESH_BEEP || (result == CC_REFRESH && comp.candidates.used > 1);
    kxMUtiCon_CompletionDeInit(&comp);
    free(gCon.pTabLine);
    gCon.pTabLine = nullptr;
    if (open && result == CC_REFRESH) {
        free(pLine);
        pLine = CopyLine(pEl, &cursor);
    }
    if (open)
        gCon.pTabLine = std::exchange(pLine, nullptr);
    free(pLine);
    return result;
}

/* ---- The history file ------------------------------------------------ */

/* Cuts the host's file back to its newest gHistoryMax lines, in place and
 * under the lock the appenders take, so no line another shell appends in
 * the meantime is lost.  Nothing happens when the file cannot be opened. */
void TrimHistoryFile()
{
    int fd = open(gpHistoryPath, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    History *pAll = history_init();
    FILE *pFile = pAll != nullptr && flock(fd, LOCK_EX) == 0 ? fdopen(fd, "r+") : nullptr;
    if (pFile == nullptr) {
        close(fd);
    } else {
        HistEvent ev;
        history(pAll, &ev, H_SETSIZE, static_cast<int>(gHistoryMax));
        history(pAll, &ev, H_LOAD, gpHistoryPath);
        if (ftruncate(fd, 0) == 0) /* at offset 0 the file's tag is written first */
            history(pAll, &ev, H_SAVE_FP, pFile);
        fclose(pFile); /* flushes, and closing the descriptor drops the lock */
    }
    if (pAll != nullptr)
        history_end(pAll);
    gCon.appended = 0;
}

/* Appends one line to the host's file, in libedit's own encoding, as one
 * write under the lock; the file is cut back after each gHistoryMax lines
 * this process appended.  Failures (no file, a full disk) are ignored: the
 * line stays in memory. */
void AppendToHistoryFile(const char *pLine)
{
    if (gpHistoryPath == nullptr || gCon.pOne == nullptr)
        return;
    HistEvent ev;
    history(gCon.pOne, &ev, H_CLEAR);
    if (history(gCon.pOne, &ev, H_ENTER, pLine) < 0)
        return;
    /* Readable by its owner only, as lines typed may hold secrets. */
    int fd = open(gpHistoryPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    FILE *pFile = flock(fd, LOCK_EX) == 0 ? fdopen(fd, "a") : nullptr;
    if (pFile == nullptr) {
        close(fd);
        return;
    }
    fseek(pFile, 0, SEEK_END); /* libedit writes its tag at offset 0 only: a new file */
    history(gCon.pOne, &ev, H_SAVE_FP, pFile);
    fclose(pFile); /* one write of the line, then the lock goes with the descriptor */
    if (++gCon.appended >= gHistoryMax)
        TrimHistoryFile();
}

/* Reads the host's file into the history; a file longer than the history
 * is cut back now, so it never grows without bound. */
void LoadHistoryFile()
{
    if (gpHistoryPath == nullptr)
        return;
    HistEvent ev;
    int lines = history(gCon.pHist, &ev, H_LOAD, gpHistoryPath);
    if (lines > static_cast<int>(gHistoryMax))
        TrimHistoryFile();
}

/* ---- The editor ---------------------------------------------------------- */

/* Starts the editor: emacs keys, the history (read from the host's file),
 * Tab completion, Ctrl-R search, Ctrl-C abandon.  False when libedit
 * cannot start; the loop then reads as the plain one. */
bool Open()
{
    gCon.pHist = history_init();
    gCon.pOne = history_init();
    gCon.pEl = el_init("kxMUti", stdin, stdout, stderr);
    if (gCon.pHist == nullptr || gCon.pOne == nullptr || gCon.pEl == nullptr) {
        if (gCon.pEl != nullptr)
            el_end(gCon.pEl);
        for (History *pHist : {gCon.pHist, gCon.pOne})
            if (pHist != nullptr)
                history_end(pHist);
        gCon = Console{};
        return false;
    }
    HistEvent ev;
    history(gCon.pHist, &ev, H_SETSIZE, static_cast<int>(gHistoryMax));
    history(gCon.pHist, &ev, H_SETUNIQUE, 1); /* no entry equal to the one before */
    history(gCon.pOne, &ev, H_SETSIZE, 1);
    LoadHistoryFile();

    EditLine *pEl = gCon.pEl;
    el_set(pEl, EL_EDITOR, "emacs");
    el_set(pEl, EL_HIST, history, gCon.pHist);
    el_set(pEl, EL_PROMPT, Prompt);
    el_set(pEl, EL_GETCFN, ReadKey);
    /* The wide call keeps the names by pointer; the narrow one would copy
     * them and never free the copies. */
    el_wset(pEl, EL_ADDFN, L"kx-complete", L"Complete the word before the cursor", Complete);
    el_wset(pEl, EL_ADDFN, L"kx-abandon", L"Abandon the line", Abandon);
    el_set(pEl, EL_BIND, "^I", "kx-complete", nullptr);
    el_set(pEl, EL_BIND, "^C", "kx-abandon", nullptr);
    el_set(pEl, EL_BIND, "^R", "em-inc-search-prev", nullptr);

    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt; /* no SA_RESTART: sleeps end early */
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &gCon.oldInt);
    return true;
}

/* Puts the SIGINT action back and ends the editor (the terminal's modes
 * are libedit's to restore).  The history file needs no writing: every
 * line went to it as it was entered. */
void Close()
{
    sigaction(SIGINT, &gCon.oldInt, nullptr);
    el_end(gCon.pEl);
    history_end(gCon.pHist);
    history_end(gCon.pOne);
    free(gCon.pTabLine);
    gCon = Console{};
    gInterrupted = 0;
}

/* Reads one line with the console's SIGWINCH handler in place, the
 * caller's action back while the line runs: a resize during a command then
 * interrupts nothing.  One that came meanwhile is caught up with here. */
const char *ReadLine(int *pLength)
{
    struct sigaction sa = {}, callerWinch;
    sa.sa_handler = OnResize;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGWINCH, &sa, &callerWinch);
    el_resize(gCon.pEl);
    gResized = 0;
    gReading = 1;
    const char *pLine = el_gets(gCon.pEl, pLength);
    gReading = 0;
    sigaction(SIGWINCH, &callerWinch, nullptr);
    return pLine;
}

/* Adds a line to the history without its line end, and appends it to the
 * file; blank lines are not kept, nor a line equal to the one before. */
void Remember(const char *pLine, int length)
{
    size_t n = static_cast<size_t>(length);
    while (n > 0 && (pLine[n - 1] == '\n' || pLine[n - 1] == '\r'))
        n--;
    size_t lead = 0;
    while (lead < n && MUti_IsSpace(pLine[lead]))
        lead++;
    if (lead == n)
        return;
    char *pCopy = static_cast<char *>(malloc(n + 1));
    if (pCopy == nullptr) [[unlikely]]
        return;
    memcpy(pCopy, pLine, n);
    pCopy[n] = '\0';
    HistEvent ev;
    if (history(gCon.pHist, &ev, H_FIRST) < 0 || strcmp(ev.str, pCopy) != 0) {
        history(gCon.pHist, &ev, H_ENTER, pCopy);
        AppendToHistoryFile(pCopy);
    }
    free(pCopy);
}

/* Runs one edited line on pExec in pieces of at most MUTI_LINE_READ_MAX
 * characters, each executed as a line, as the plain loop's reads would cut
 * it; stops between pieces when one sets the quit bit. */
void Run(kxMUtiCmd_Exec_t *pExec, const char *pLine, int length)
{
    constexpr int kPiece = MUTI_LINE_READ_MAX;
    char piece[kPiece + 1];
    for (int at = 0; at < length;) {
        int n = length - at < kPiece ? length - at : kPiece;
        memcpy(piece, pLine + at, static_cast<size_t>(n));
        piece[n] = '\0';
        at += n;
        kxMUtiCon_RunLine(pExec, piece); /* source goes through the script runner */
        if ((pExec->flags & kxMUtiCmd_ExecFlagQuit) != 0)
            return;
    }
}

/* The edited loop on pExec, the editor open. */
void EditLoop(kxMUtiCmd_Exec_t *pExec)
{
    pExec->flags |= kxMUtiCmd_ExecFlagInteractive;
    pExec->flags &= ~static_cast<uint32_t>(kxMUtiCmd_ExecFlagQuit);
    for (;;) {
        gCon.pExec = pExec; /* a nested loop may have shown another prompt */
        gCon.abandoned = false;
        gInterrupted = 0;
        fflush(stdout);
        int length = 0;
        const char *pLine = ReadLine(&length);
        if (gCon.abandoned) {
            fputs(kAbandonedMark, stdout);
            continue;
        }
        if (pLine == nullptr || length <= 0) {
            fputc('\n', stdout); /* the next prompt starts a line of its own */
            break;
        }
        Remember(pLine, length);
        kxMUtiCon_CancelClear(); /* an old Ctrl-C must not stop this line's script */
        Run(pExec, pLine, length);
        ConRun_CancelNotice();
        if ((pExec->flags & kxMUtiCmd_ExecFlagQuit) != 0)
            break;
    }
    fflush(stdout);
}

} // namespace

extern "C" {

KX_API uint32_t kxMUtiCon_HistorySet(const char *pPath, uint32_t maxEntries)
{
    char *pCopy = nullptr;
    if (pPath != nullptr) {
        pCopy = strdup(pPath);
        if (pCopy == nullptr) [[unlikely]]
            return KX_ERR_NOMEM;
    }
    free(gpHistoryPath);
    gpHistoryPath = pCopy;
    gHistoryMax = maxEntries != 0 ? maxEntries : KXCON_HISTORY_DEFAULT;
    if (gCon.pHist != nullptr) {
        HistEvent ev;
        history(gCon.pHist, &ev, H_SETSIZE, static_cast<int>(gHistoryMax));
    }
    return KX_OK;
}

KX_API void kxMUtiCon_Loop(kxMUtiCmd_Exec_t *pExec)
{
    if (pExec == nullptr)
        pExec = kxMUtiCmd_ExecGlobal();
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO) || pExec == nullptr ||
        (gCon.depth == 0 && !Open())) {
        ConRun_Loop(pExec); /* kxMUtiCmd_ExecLoop, source through the runner */
        return;
    }
    kxMUtiCmd_Exec_t *pOuter = gCon.pExec;
    gCon.depth++;
    EditLoop(pExec);
    gCon.pExec = pOuter;
    if (--gCon.depth == 0)
        Close();
}

KX_API void kxMUtiCon_SubLoop(kxMUtiCmd_Exec_t *pExec, const char *pText)
{
    const char *p = pText;
    while (p != nullptr && MUti_IsSpace(*p))
        p++;
    if (p != nullptr && *p != '\0') {
        kxMUtiCmd_ExecSubLoop(pExec, pText);
        return;
    }
    kxMUtiCon_Loop(pExec);
}

} // extern "C"
