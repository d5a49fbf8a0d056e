#include "standin/signatures.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace {

std::string Lower(std::string AText)
{
    std::transform(AText.begin(), AText.end(), AText.begin(), [](unsigned char c) { return std::tolower(c); });
    return AText;
}

std::vector<std::pair<std::string, std::string>> SortedWithoutSign(const TFormFields& AFields, bool ALowerNames)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& [name, value] : AFields) {
        if (Lower(name) != "sign")
            pairs.emplace_back(ALowerNames ? Lower(name) : name, value);
    }
    std::stable_sort(
        pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return Lower(a.first) < Lower(b.first); });
    return pairs;
}

} // namespace

std::string OperatorSign(const TFormFields& AFields, const std::string& ASecret)
{
    std::string text;
    for (const auto& [name, value] : SortedWithoutSign(AFields, true))
        text += name + "=" + value;
    return Md5Hex(text + "key=" + ASecret, false);
}

std::string TopSign(const TFormFields& AFields, const std::string& ASecret)
{
    std::string text = ASecret;
    for (const auto& [name, value] : SortedWithoutSign(AFields, false))
        text += name + value;
    return Md5Hex(text + ASecret, true);
}
