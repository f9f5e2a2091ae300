// The document reader and writer against libxml2's tree parser and pugixml on the
// same generated attribute-view file of about 20 MB, in Shift_JIS and in UTF-8.
// Each figure is the median and range of at least five runs after a discarded
// one, in MB of file bytes per second of processor time; each read goes into an
// empty tree (the previous one freed outside the timing), and freed memory stays
// with the process for every contender. The ratios are ours over theirs (above 1:
// we are faster).
// pugixml reads no Shift_JIS; for that file it is measured behind glibc's iconv,
// which turns the CP932 bytes into UTF-8 before parsing and the UTF-8 it writes
// back into CP932 after writing.
//
//   xml_bench [megabytes [runs [ours [read|write]]]]      runs: at least 5
//
// "ours" skips the others, and "read" or "write" our other half, for a profiler.
#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>

#include "bench/runs.h"
#include "support/file/memory_file.h"
#include "support/file/stream_buffer.h"
#include "support/xml/description.h"

namespace {

// An attribute view: categories of items with Japanese names, ids in both
// integer forms, a few comments and text nodes, nested three levels deep.
void BuildView(EDescription* pDocument, size_t cbTarget)
{
    static const char16_t* kWords[] = {u"写真", u"旅行", u"家族", u"仕事", u"音楽", u"映画", u"資料", u"未分類",
                                       u"Project", u"Archive", u"メモ", u"重要"};
    EDescription* pView = new EDescription;
    pView->SetTagName(u"attview");
    pDocument->AppendChild(pView);
    EDescription* pContainer = new EDescription;
    pContainer->SetTagName(u"container");
    pView->AppendChild(pContainer);
    unsigned nSeed = 12345;
    auto next = [&nSeed]() { return nSeed = nSeed * 1103515245u + 12345u, nSeed >> 8; };
    size_t cbApprox = 0;
    for (int nCategory = 0; cbApprox < cbTarget; ++nCategory) {
        EDescription* pCategory = new EDescription;
        pCategory->SetTagName(u"item");
        pCategory->SetIntAttribute(u"category", 1);
        pCategory->SetIntAttribute(u"expanded", nCategory & 1);
        pCategory->SetIntAttribute(u"icon", 0);
        pCategory->SetIntAttribute(u"label", -1);
        const std::u16string strCategory = std::u16string(kWords[next() % 12]) + u" " +
                                           std::u16string(kWords[next() % 12]);
        pCategory->SetStringAttribute(u"name", strCategory.c_str());
        pContainer->AppendChild(pCategory);
        if (nCategory % 10 == 0) {
            EDescription* pComment = new EDescription;
            pComment->SetTagName(u"!--");
            pComment->SetText(u"!-- 自動生成されたカテゴリ -->");
            pCategory->AppendChild(pComment);
        }
        for (int i = 0; i < 40; ++i) {
            EDescription* pItem = new EDescription;
            pItem->SetTagName(u"item");
            pItem->SetIntAttribute(u"icon", 1);
            pItem->SetIntAttribute(u"id_att", static_cast<int>(next() % 200000));
            const std::u16string strName = std::u16string(kWords[next() % 12]) + u"_" +
                                           std::u16string(kWords[next() % 12]) + u" & " +
                                           std::u16string(kWords[next() % 12]);
            pItem->SetStringAttribute(u"name", strName.c_str());
            pItem->SetIntAttribute(u"ref_count", static_cast<int>(next() % 1000));
            if (i % 8 == 0) {
                EDescription* pText = new EDescription;
                pText->SetText(u"説明: ファイルの属性");
                pItem->AppendChild(pText);
            }
            pCategory->AppendChild(pItem);
            cbApprox += 110;
        }
    }
}

// The bytes of str converted by iconv; aborts on any failure, which the bench's
// own files never cause.
std::string Convert(iconv_t cd, const std::string& str)
{
    std::string out(str.size() * 3 / 2 + 16, '\0');
    char* pIn = const_cast<char*>(str.data());
    size_t cbIn = str.size();
    size_t cbDone = 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    for (;;) {
        char* pOut = &out[cbDone];
        size_t cbOut = out.size() - cbDone;
        const size_t n = iconv(cd, &pIn, &cbIn, &pOut, &cbOut);
        cbDone = out.size() - cbOut;
        if (n != static_cast<size_t>(-1))
            break;
        if (errno != E2BIG)
            std::abort();
        out.resize(out.size() * 2);
    }
    out.resize(cbDone);
    return out;
}

// Seconds of the process's processor time (user and system, page faults
// included) that fn takes: every contender runs on one thread, and other work on a
// shared machine then does not count against whoever happened to run beside it.
template <class Fn>
double Cpu(Fn fn)
{
    const double d0 = bench::CpuSeconds();
    fn();
    return bench::CpuSeconds() - d0;
}

struct Figures {
    bench::CSpread read, write;
};

void Print(const char* szEncoding, const char* szWho, size_t cb, const Figures& f)
{
    const double dMb = static_cast<double>(cb) / 1e6;
    std::printf("%-9s %-8s read %7.1f MB/s [%.1f - %.1f]  write %7.1f MB/s [%.1f - %.1f]\n", szEncoding,
                szWho, dMb / f.read.Median(), dMb / f.read.Max(), dMb / f.read.Min(), dMb / f.write.Median(),
                dMb / f.write.Max(), dMb / f.write.Min());
}

void Ratio(const char* szEncoding, const char* szWho, const Figures& ours, const Figures& theirs)
{
    std::printf("%-9s ours/%-8s read x%.2f  write x%.2f  read+write x%.2f (medians)\n", szEncoding, szWho,
                theirs.read.Median() / ours.read.Median(), theirs.write.Median() / ours.write.Median(),
                (theirs.read.Median() + theirs.write.Median()) / (ours.read.Median() + ours.write.Median()));
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t cbTarget = argc > 1 ? static_cast<size_t>(std::atof(argv[1]) * 1e6) : 20000000;
    const int nRuns = bench::RunsFrom(argc > 2 ? argv[2] : nullptr);
    const bool bOursOnly = argc > 3 && std::string(argv[3]) == "ours";  // for profiling
    const std::string strOnly = bOursOnly && argc > 4 ? argv[4] : "";
    // The C heap keeps what it is given back, as the library heap keeps its
    // regions: then no contender reads into fresh pages while another reuses
    // touched ones.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    EDescription view;
    BuildView(&view, cbTarget);
    xmlInitParser();
    std::printf("processor time, median [range] of %d runs after a discarded one; each read into an "
                "empty tree, the previous tree freed outside the timing\n", nRuns);
    bench::PrintLoad("at start");

    struct Encoding { int nIndex; const char* szName; const char* szLibxml; };
    const Encoding kEncodings[] = {{0, "shift_jis", "Shift_JIS"}, {1, "utf-8", "UTF-8"}};
    for (const Encoding& e : kEncodings) {
        EMemoryFile source;
        view.WriteDocument(&source, 0, 2, e.nIndex);
        const std::string& strFile = source.m_str;
        std::printf("%-9s file %.1f MB\n", e.szName, static_cast<double>(strFile.size()) / 1e6);

        Figures ours, libxml, pugi;
        EDescription* pTree = nullptr;
        bench::Repeat(strOnly == "write" ? 0 : nRuns, [&](bool bTimed) {
            delete pTree;
            pTree = new EDescription;
            EStreamBuffer stream;
            stream.Write(strFile.data(), static_cast<uint32_t>(strFile.size()));
            stream.GetBuffer(0);  // the bytes in one block, as after loading a file
            const double d = Cpu([&] {
                if (pTree->ReadDocument(&stream, 2, 0) != 0)
                    std::abort();
            });
            if (bTimed)
                ours.read.Add(d);
        });
        if (strOnly != "read") {
            bench::Repeat(nRuns, [&](bool bTimed) {
                EMemoryFile out;
                out.m_str.reserve(strFile.size());
                const double d = Cpu([&] {
                    if (pTree->WriteDocument(&out, 0, 2, e.nIndex) != 0)
                        std::abort();
                });
                if (out.m_str != strFile)
                    std::abort();
                if (bTimed)
                    ours.write.Add(d);
            });
        }
        delete pTree;
        Print(e.szName, "ours", strFile.size(), ours);
        std::fflush(stdout);
        if (bOursOnly)
            continue;

        xmlDocPtr pDoc = nullptr;
        bench::Repeat(nRuns, [&](bool bTimed) {
            if (pDoc != nullptr)
                xmlFreeDoc(pDoc);
            const double d = Cpu([&] {
                pDoc = xmlReadMemory(strFile.data(), static_cast<int>(strFile.size()), nullptr, nullptr,
                                     XML_PARSE_NONET | XML_PARSE_HUGE);
                if (pDoc == nullptr)
                    std::abort();
            });
            if (bTimed)
                libxml.read.Add(d);
        });
        bench::Repeat(nRuns, [&](bool bTimed) {
            xmlChar* p = nullptr;
            int cb = 0;
            const double d = Cpu([&] {
                xmlDocDumpFormatMemoryEnc(pDoc, &p, &cb, e.szLibxml, 1);
                if (p == nullptr)
                    std::abort();
            });
            xmlFree(p);
            if (bTimed)
                libxml.write.Add(d);
        });
        xmlFreeDoc(pDoc);
        Print(e.szName, "libxml2", strFile.size(), libxml);
        Ratio(e.szName, "libxml2", ours, libxml);

        // Shift_JIS goes through iconv both ways; UTF-8 straight in and out.
        const bool bIconv = e.nIndex == 0;
        iconv_t cdIn = bIconv ? iconv_open("UTF-8", "CP932") : nullptr;
        iconv_t cdOut = bIconv ? iconv_open("CP932", "UTF-8") : nullptr;
        if (bIconv && (cdIn == reinterpret_cast<iconv_t>(-1) || cdOut == reinterpret_cast<iconv_t>(-1)))
            std::abort();
        {
            pugi::xml_document doc;
            bench::Repeat(nRuns, [&](bool bTimed) {
                doc.reset();
                const double d = Cpu([&] {
                    if (bIconv) {
                        const std::string strUtf8 = Convert(cdIn, strFile);
                        if (!doc.load_buffer(strUtf8.data(), strUtf8.size(),
                                             pugi::parse_default | pugi::parse_comments, pugi::encoding_utf8))
                            std::abort();
                    } else if (!doc.load_buffer(strFile.data(), strFile.size(),
                                                pugi::parse_default | pugi::parse_comments)) {
                        std::abort();
                    }
                });
                if (bTimed)
                    pugi.read.Add(d);
            });
            bench::Repeat(nRuns, [&](bool bTimed) {
                std::string str;
                struct Writer : pugi::xml_writer {
                    std::string* p;
                    void write(const void* data, size_t size) override
                    {
                        p->append(static_cast<const char*>(data), size);
                    }
                } writer;
                writer.p = &str;
                str.reserve(strFile.size());
                const double d = Cpu([&] {
                    doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
                    if (bIconv && Convert(cdOut, str).empty())
                        std::abort();
                });
                if (bTimed)
                    pugi.write.Add(d);
            });
            const char* szWho = bIconv ? "pugi+icv" : "pugixml";
            Print(e.szName, szWho, strFile.size(), pugi);
            Ratio(e.szName, szWho, ours, pugi);
        }
        if (bIconv) {
            iconv_close(cdIn);
            iconv_close(cdOut);
        }
        std::fflush(stdout);
    }
    bench::PrintLoad("at end");
    xmlCleanupParser();
    return 0;
}
