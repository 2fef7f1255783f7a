#pragma once
// A small object with the kinds of values predicates meet: numbers of each kind, texts with
// and without diacritics, lists, a nested object, a date, bytes, and keys it does not answer.

#include <memory>
#include <string>

#include "QORPlatform/NSObject.hpp"

namespace qor::testing_predicates {

class Peer final : public NSObject {
public:
    explicit Peer(std::int64_t port) : port_(port) {}
    [[nodiscard]] Value valueForKey(std::string_view key) const override {
        if (key == "host") return "example.org";
        if (key == "port") return Value(port_);
        return NSObject::valueForKey(key);
    }

private:
    std::int64_t port_;
};

class Flow final : public NSObject {
public:
    explicit Flow(std::int64_t srcPort = 443, std::string info = "GET /Index.html HTTP/1.1")
        : srcPort_(srcPort), info_(std::move(info)) {}

    [[nodiscard]] Value valueForKey(std::string_view key) const override {
        if (key == "srcPort") return Value(srcPort_);
        if (key == "length") return Value(std::uint64_t{1500});
        if (key == "ratio") return 0.25;
        if (key == "secure") return true;
        if (key == "info") return info_;
        if (key == "city") return "Z\u00fcrich";       // precomposed ü
        if (key == "cafe") return "cafe\u0301";        // e + combining acute
        if (key == "tags") return Value::List{"tcp", "HTTP"};
        if (key == "ports") return Value::List{80, 443};
        if (key == "empty") return Value::List{};
        if (key == "peer") return Value::ObjectRef(std::make_shared<Peer>(8080));
        if (key == "peers") return Value::List{Value::ObjectRef(std::make_shared<Peer>(8080)), Value::ObjectRef(std::make_shared<Peer>(8081))};
        if (key == "seen") return Date{1700000000};
        if (key == "payload") return Data::fromString("\x01\x02");
        return NSObject::valueForKey(key);
    }

private:
    std::int64_t srcPort_;
    std::string info_;
};

}  // namespace qor::testing_predicates
