// The client randoms of a byte stream's ClientHellos.

#include "QORModels/tls/TLSClientRandomExtractor.hpp"

#include "QORModels/tls/TLSHandshakeScanner.hpp"

namespace qor {

std::vector<Data> TLSClientRandomExtractor::clientRandoms(const Data& data) {
    std::vector<Data> randoms;
    for (auto& sighting : TLSHandshakeScanner::sightings(data)) randoms.push_back(std::move(sighting.clientRandom));
    return randoms;
}

}  // namespace qor
