#include "QORModels/streams/MIMEParser.hpp"

namespace qor {

StringEncoding MIMEPart::charset() const {
    auto name = MIMEParser::parameter("charset", MIMEParser::headerValue("content-type", headers));
    if (!name) return StringEncoding::utf8;
    const auto lower = MIMEParser::lowered(MIMEParser::trimmed(*name));
    if (lower == "us-ascii" || lower == "ascii") return StringEncoding::ascii;
    if (lower == "iso-8859-1" || lower == "latin1" || lower == "latin-1") return StringEncoding::isoLatin1;
    if (lower == "utf-16") return StringEncoding::utf16;
    return StringEncoding::utf8;  // "utf-8", "utf8" and every name not known here
}

StreamBodyHint MIMEPart::streamBodyHint() const {
    const std::string_view type = contentType;
    if (type.starts_with("image/")) return StreamBodyHint::image(std::string(type.substr(6)));
    if (type == "application/json" || type.ends_with("+json")) return StreamBodyHint::json();
    if (type == "text/html") return StreamBodyHint::html();
    if (type == "text/xml" || type == "application/xml" || type.ends_with("+xml")) return StreamBodyHint::xml();
    if (type.starts_with("text/")) return StreamBodyHint::text(charset());
    return StreamBodyHint::binary();
}

}  // namespace qor
