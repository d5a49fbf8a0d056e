#pragma once

#include <cstddef>
#include <string>

// libcurl's write callback for the rivals' bare loops: appends the body to the std::string passed as its user data.
inline std::size_t Collect(char* AData, std::size_t ASize, std::size_t ACount, void* AUser)
{
    static_cast<std::string*>(AUser)->append(AData, ASize * ACount);
    return ASize * ACount;
}
