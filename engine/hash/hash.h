// Hash facade. The engine derives names from content: log directories from file
// paths, kernel objects from the guard's name, unique names from the clock. All of
// them go through CHash, which makes an algorithm by its numeric code, runs it over
// a buffer and renders the digest as hexadecimal text. Builds on nothing but the
// standard library and Boost's shared_ptr.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

namespace velk {

class CHash {
public:
    enum { kMD5 = 2, kSHA256 = 4 };  // algorithm codes

    // One running message digest. An object belongs to one thread at a time.
    class IAlgorithm {
    public:
        virtual ~IAlgorithm() {}

        // Adds cb bytes to the message. Returns 0, or 2 when pData is null or cb
        // is 0, in which case nothing is added.
        virtual int Update(const void* pData, std::uint32_t cb) = 0;

        // The digest's size in bytes: 16 for MD5, 32 for SHA-256.
        virtual int GetDigestSize() = 0;

        // Copies the first min(cbBuffer, digest size) bytes of the digest of
        // everything fed since the last Reset into pBuffer. The running state is
        // untouched, so more data may be fed and the digest read again. Returns 0,
        // or 2 when pBuffer is null or cbBuffer is 0.
        virtual int GetDigest(void* pBuffer, std::uint32_t cbBuffer) = 0;

        // Starts a new, empty message.
        virtual void Reset() = 0;
    };

    // Shared ownership of an algorithm; the deleter destroys it through its
    // virtual destructor.
    typedef boost::shared_ptr<IAlgorithm> AlgorithmPtr;
    static void DestroyAlgorithm(IAlgorithm* pAlgorithm);

    // Returns a new algorithm in its initial state: MD5 for code 2, SHA-256 for
    // code 4. Returns null for any other code and when memory is exhausted. The
    // caller owns the object (delete it, or hand it to an AlgorithmPtr together
    // with DestroyAlgorithm).
    static IAlgorithm* Create(int nCode);

    // Renders cb bytes of pData as hexadecimal text into szOut, high nibble first,
    // a-f when bLowercase is nonzero, else A-F, and terminates it. When cbOut is
    // too small for all the bytes, as many leading bytes as fit are rendered,
    // never half a byte. Returns 0, or 2 (nothing written) when pData or szOut is
    // null, cb is 0 or cbOut is below 3.
    static int ToHex(const void* pData, std::uint32_t cb, char* szOut, std::uint32_t cbOut,
                     int bLowercase);

    // Hashes cb bytes of pData with the algorithm nCode and renders the digest
    // with ToHex. A null pData with cb 0 is the empty message. Returns ToHex's
    // result, or 2 (nothing written) for an unknown code, a null pData with cb
    // nonzero, or when memory is exhausted.
    static int DigestData(const void* pData, std::uint32_t cb, int nCode, char* szOut,
                          std::uint32_t cbOut, int bLowercase);

    // DigestData over the bytes of szText without its terminating NUL. Returns 2
    // (nothing written) when szText is null.
    static int DigestString(const char* szText, int nCode, char* szOut, std::uint32_t cbOut,
                            int bLowercase);

private:
    CHash() = delete;  // a namespace of functions with nested types
};

}  // namespace velk
