/*
 * NeedsCxxRuntime.cpp - a library that leans on the C++ runtime (operator
 * new, std::string), linked the usual C++ way: the run-time dependency
 * check must reject it.
 */
#include <string>

extern "C" __attribute__((visibility("default"))) int kxNeeds_Length(int n)
{
    std::string *pText = new std::string(static_cast<size_t>(n), 'x');
    const int len = static_cast<int>(pText->size());
    delete pText;
    return len;
}
