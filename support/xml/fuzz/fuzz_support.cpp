#include "support/xml/fuzz/fuzz_support.h"

#include "support/file/stream_buffer.h"

intptr_t ReadBytes(EDescription* pRoot, const void* p, size_t cb, int nFlag, int nEncoding)
{
    EStreamBuffer stream;
    if (stream.Write(p, static_cast<uint32_t>(cb)) != cb)
        return -1;
    return pRoot->ReadDocument(&stream, nFlag, nEncoding);
}

namespace {

bool IsWordStart(char16_t c)
{
    return c >= 128 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '?' || c == '@' || c == '_';
}

bool IsWord(const EWideString& str)
{
    if (str.GetLength() == 0 || !IsWordStart(str.GetText()[0]))
        return false;
    for (int i = 1; i < str.GetLength(); ++i) {
        const char16_t c = str.GetText()[i];
        if (!IsWordStart(c) && c != '-' && c != '.' && c != ':')
            return false;
    }
    return true;
}

void AppendField(std::u16string* pOut, char16_t cKind, const EWideString& str)
{
    pOut->push_back(cKind);
    for (const char c : std::to_string(str.GetLength()))
        pOut->push_back(static_cast<char16_t>(c));
    pOut->push_back(':');
    pOut->append(str.GetText(), static_cast<size_t>(str.GetLength()));
}

}  // namespace

bool Canonical(const EDescription& node, std::u16string* pOut)
{
    std::u16string strText;  // the run of adjacent text nodes being joined
    bool bText = false;
    auto flush = [&]() {
        if (bText) {
            EWideString str(strText.data(), static_cast<int>(strText.size()));
            AppendField(pOut, 'T', str);
        }
        strText.clear();
        bText = false;
    };
    for (int i = 0; i < node.GetChildCount(); ++i) {
        const EDescription& child = *node.GetChildAt(static_cast<unsigned>(i));
        const EWideString& strTag = child.GetTagName();
        if (strTag.GetLength() == 0 && child.GetChildCount() == 0) {
            strText.append(child.GetText().GetText(), static_cast<size_t>(child.GetText().GetLength()));
            bText = true;
            continue;
        }
        flush();
        if (strTag.GetLength() == 3 && std::u16string(strTag.GetText(), 3) == u"!--") {
            std::u16string s(child.GetText().GetText(), static_cast<size_t>(child.GetText().GetLength()));
            if (s.size() < 3 || s.compare(s.size() - 3, 3, u"-->") != 0)
                s += u"-->";
            AppendField(pOut, 'C', EWideString(s.data(), static_cast<int>(s.size())));
            continue;
        }
        if (!IsWord(strTag))
            return false;
        AppendField(pOut, 'E', strTag);
        for (int k = 0; k < child.GetAttributeCount(); ++k) {
            AppendField(pOut, 'N', child.GetAttributeNameAt(k));
            AppendField(pOut, 'V', child.GetAttributeValueAt(k));
        }
        pOut->push_back('(');
        if (!Canonical(child, pOut))
            return false;
        pOut->push_back(')');
    }
    flush();
    return true;
}
