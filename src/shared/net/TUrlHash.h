#pragma once

#include <QHashFunctions>
#include <QUrl>

#include <cstddef>

namespace shared {

// For the standard library's hashed containers: a package has thousands of chunk URLs,
// and ordering them compares them part by part.
struct TUrlHash {
    std::size_t operator()(const QUrl& Url) const { return qHash(Url); }
};

} // namespace shared
