/*
 * CaptureStdout.cpp - see CaptureStdout.h.  The temporary file is opened in
 * append mode so that writes through fd 1 always land at its end, whatever
 * the offset, and Clear() can simply truncate it.
 */
#include "CaptureStdout.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

CaptureStdout::CaptureStdout()
{
    char path[] = "/tmp/kxcaptureXXXXXX";
    fflush(stdout);
    int fd = mkstemp(path);
    if (fd < 0)
        return;
    unlink(path);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND);
    savedFd_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fileFd_ = fd;
}

CaptureStdout::~CaptureStdout()
{
    Stop();
}

std::string CaptureStdout::Text()
{
    if (fileFd_ < 0)
        return final_;
    fflush(stdout);
    struct stat st;
    if (fstat(fileFd_, &st) != 0)
        return {};
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = pread(fileFd_, text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return text;
}

void CaptureStdout::Clear()
{
    if (fileFd_ < 0)
        return;
    fflush(stdout);
    if (ftruncate(fileFd_, 0) != 0)
        perror("CaptureStdout: ftruncate");
}

std::string CaptureStdout::Stop()
{
    if (fileFd_ < 0)
        return final_;
    final_ = Text();
    dup2(savedFd_, STDOUT_FILENO);
    close(savedFd_);
    close(fileFd_);
    fileFd_ = -1;
    return final_;
}
