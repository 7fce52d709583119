#include "caldav/xml.h"

#include <libxml/xmlreader.h>

#include <cstdlib>

namespace calbridge::caldav {
namespace {

std::string_view as_view(const xmlChar* text) {
  return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

std::string trim(std::string_view text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(b, e - b + 1));
}

void keep_first_error(void* user, xmlErrorPtr error) {
  auto* message = static_cast<std::string*>(user);
  if (message->empty() && error != nullptr && error->message != nullptr) *message = trim(error->message);
}

// Owns one xmlTextReader over a caller's buffer.
class Reader {
 public:
  explicit Reader(std::string_view body)
      : reader_(xmlReaderForMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)) {
    // Errors are collected, never printed: the bridge writes nothing to stderr.
    if (reader_ != nullptr) xmlTextReaderSetStructuredErrorHandler(reader_, keep_first_error, &error_);
  }
  ~Reader() {
    if (reader_ != nullptr) xmlFreeTextReader(reader_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  xmlTextReaderPtr get() const { return reader_; }
  const std::string& error() const { return error_; }

 private:
  xmlTextReaderPtr reader_;
  std::string error_;
};

bool is(const std::pair<std::string, std::string>& element, std::string_view ns, std::string_view name) {
  return element.first == ns && element.second == name;
}

}  // namespace

bool Property::has_descendant(QName q) const {
  for (const auto& e : descendants)
    if (e.ns == q.ns && e.name == q.name) return true;
  return false;
}

std::string Property::href() const {
  for (const auto& e : descendants)
    if (e.ns == kDav && e.name == "href") return e.text;
  return {};
}

const Property* DavResponse::find(QName q) const {
  for (const auto& ps : propstats) {
    if (ps.status < 200 || ps.status > 299) continue;
    for (const auto& p : ps.properties)
      if (p.is(q)) return &p;
  }
  return nullptr;
}

int parse_status_line(std::string_view line) {
  std::string text = trim(line);
  size_t space = text.find(' ');
  if (text.rfind("HTTP/", 0) != 0 || space == std::string::npos || space + 4 > text.size()) return 0;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    code = code * 10 + (text[i] - '0');
  }
  return code;
}

MultistatusResult parse_multistatus(std::string_view body, const std::function<void(DavResponse&&)>& on_response) {
  MultistatusResult result;
  if (body.size() > static_cast<size_t>(INT32_MAX)) {
    result.error = "reply too large";
    return result;
  }
  Reader reader(body);
  if (reader.get() == nullptr) {
    result.error = "cannot read the reply";
    return result;
  }
  // Path of open elements, by namespace URI and local name.
  std::vector<std::pair<std::string, std::string>> path;
  std::optional<DavResponse> response;
  std::optional<Propstat> propstat;
  std::optional<Property> property;
  size_t property_depth = 0;        // path size with the property open
  std::vector<size_t> open_desc;    // indices into property->descendants, innermost last
  std::string text;                 // character data of the element being read (href, status, token)

  auto start = [&](std::string ns, std::string name, std::string name_attr) {
    path.emplace_back(std::move(ns), std::move(name));
    size_t d = path.size();
    const auto& e = path.back();
    text.clear();
    if (property) {
      property->descendants.push_back({e.first, e.second, {}, std::move(name_attr)});
      open_desc.push_back(property->descendants.size() - 1);
      return;
    }
    if (d == 1) return;
    if (d == 2 && is(path[0], kDav, "multistatus") && is(e, kDav, "response")) {
      response.emplace();
    } else if (response && d == 4 && is(path[2], kDav, "error")) {
      response->errors.push_back(e.first + " " + e.second);
    } else if (response && d == 3 && is(e, kDav, "propstat")) {
      propstat.emplace();
    } else if (propstat && d == 5 && is(path[3], kDav, "prop")) {
      property.emplace();
      property->ns = e.first;
      property->name = e.second;
      property_depth = d;
    }
  };
  auto end = [&]() {
    size_t d = path.size();
    const auto e = path.back();
    if (property) {
      if (d == property_depth) {
        propstat->properties.push_back(std::move(*property));
        property.reset();
        open_desc.clear();
      } else if (!open_desc.empty()) {
        auto& desc = property->descendants[open_desc.back()];
        desc.text = trim(desc.text);
        open_desc.pop_back();
      }
    } else if (d == 2 && is(e, kDav, "sync-token") && is(path[0], kDav, "multistatus")) {
      result.sync_token = trim(text);
    } else if (response && d == 3 && is(e, kDav, "href")) {
      if (response->href.empty()) response->href = trim(text);
    } else if (response && d == 3 && is(e, kDav, "status")) {
      response->status = parse_status_line(text);
    } else if (propstat && d == 4 && is(e, kDav, "status")) {
      propstat->status = parse_status_line(text);
    } else if (propstat && d == 3 && is(e, kDav, "propstat")) {
      response->propstats.push_back(std::move(*propstat));
      propstat.reset();
    } else if (response && d == 2 && is(e, kDav, "response")) {
      ++result.responses;
      on_response(std::move(*response));
      response.reset();
    }
    path.pop_back();
  };

  xmlTextReaderPtr r = reader.get();
  bool root_seen = false;
  int step;
  while ((step = xmlTextReaderRead(r)) == 1) {
    int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_DOCUMENT_TYPE || type == XML_READER_TYPE_ENTITY_REFERENCE) {
      result.error = "a document type or entity in the reply";
      return result;
    }
    if (type == XML_READER_TYPE_ELEMENT) {
      std::string ns(as_view(xmlTextReaderConstNamespaceUri(r)));
      std::string name(as_view(xmlTextReaderConstLocalName(r)));
      if (!root_seen) {
        root_seen = true;
        if (ns != kDav || name != "multistatus") {
          result.error = "the reply is not a multistatus";
          return result;
        }
      }
      bool empty = xmlTextReaderIsEmptyElement(r) == 1;
      std::string name_attr;
      if (property) {
        xmlChar* a = xmlTextReaderGetAttribute(r, reinterpret_cast<const xmlChar*>("name"));
        if (a != nullptr) {
          name_attr = std::string(as_view(a));
          xmlFree(a);
        }
      }
      start(std::move(ns), std::move(name), std::move(name_attr));
      if (empty) end();
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (!path.empty()) end();
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
               type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE || type == XML_READER_TYPE_WHITESPACE) {
      std::string_view value = as_view(xmlTextReaderConstValue(r));
      if (property) {
        if (path.size() == property_depth)
          property->text.append(value);
        else if (!open_desc.empty())
          property->descendants[open_desc.back()].text.append(value);
      } else {
        text.append(value);
      }
    }
  }
  if (step != 0) {
    result.error = reader.error().empty() ? "the reply is not well-formed XML" : reader.error();
    return result;
  }
  if (!root_seen) {
    result.error = "the reply is empty";
    return result;
  }
  result.ok = true;
  return result;
}

std::vector<std::string> parse_error_conditions(std::string_view body) {
  std::vector<std::string> out;
  if (body.empty() || body.size() > (1u << 20)) return out;
  Reader reader(body);
  if (reader.get() == nullptr) return out;
  xmlTextReaderPtr r = reader.get();
  bool in_error = false;
  while (xmlTextReaderRead(r) == 1) {
    int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_DOCUMENT_TYPE || type == XML_READER_TYPE_ENTITY_REFERENCE) return {};
    if (type != XML_READER_TYPE_ELEMENT) continue;
    std::string_view ns = as_view(xmlTextReaderConstNamespaceUri(r));
    std::string_view name = as_view(xmlTextReaderConstLocalName(r));
    int depth = xmlTextReaderDepth(r);
    if (depth == 0) {
      if (ns != kDav || name != "error") return {};
      in_error = true;
    } else if (in_error && depth == 1) {
      out.push_back(std::string(ns) + " " + std::string(name));
    }
  }
  return out;
}

std::vector<std::string> failed_properties(std::string_view body) {
  std::vector<std::string> out;
  if (body.empty() || body.size() > (1u << 20)) return out;
  Reader reader(body);
  if (reader.get() == nullptr) return out;
  xmlTextReaderPtr r = reader.get();
  std::vector<std::string> props;  // of the propstat being read
  std::string status;
  int prop_depth = -1;
  bool in_status = false;
  while (xmlTextReaderRead(r) == 1) {
    int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_DOCUMENT_TYPE || type == XML_READER_TYPE_ENTITY_REFERENCE) return {};
    std::string_view ns = as_view(xmlTextReaderConstNamespaceUri(r));
    std::string_view name = as_view(xmlTextReaderConstLocalName(r));
    int depth = xmlTextReaderDepth(r);
    if (type == XML_READER_TYPE_ELEMENT) {
      if (ns == kDav && name == "propstat") {
        props.clear();
        status.clear();
      } else if (ns == kDav && name == "prop" && xmlTextReaderIsEmptyElement(r) == 0) {
        prop_depth = depth;
      } else if (prop_depth >= 0 && depth == prop_depth + 1) {
        props.push_back(std::string(ns) + " " + std::string(name));
      } else if (ns == kDav && name == "status") {
        in_status = xmlTextReaderIsEmptyElement(r) == 0;
      }
    } else if (type == XML_READER_TYPE_TEXT && in_status) {
      status.append(as_view(xmlTextReaderConstValue(r)));
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (ns == kDav && name == "prop" && depth == prop_depth) prop_depth = -1;
      if (ns == kDav && name == "status") in_status = false;
      if (ns == kDav && name == "propstat") {
        int code = parse_status_line(status);
        if (code < 200 || code > 299) out.insert(out.end(), props.begin(), props.end());
      }
    }
  }
  return out;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters other than tab and line ends cannot appear in XML 1.0 at all.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        out += c;
    }
  }
  return out;
}

namespace {

constexpr std::string_view kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

std::string prop_list(const std::vector<QName>& properties) {
  std::string out = "<d:prop>";
  for (const auto& q : properties) {
    out += "<";
    out += q.name;
    out += " xmlns=\"";
    out += xml_escape(q.ns);
    out += "\"/>";
  }
  out += "</d:prop>";
  return out;
}

}  // namespace

std::string propfind_body(const std::vector<QName>& properties) {
  std::string out(kHead);
  out += "<d:propfind xmlns:d=\"DAV:\">" + prop_list(properties) + "</d:propfind>";
  return out;
}

std::string sync_collection_body(std::string_view token, const std::vector<QName>& properties) {
  std::string out(kHead);
  out += "<d:sync-collection xmlns:d=\"DAV:\">";
  out += token.empty() ? "<d:sync-token/>" : "<d:sync-token>" + xml_escape(token) + "</d:sync-token>";
  out += "<d:sync-level>1</d:sync-level>" + prop_list(properties) + "</d:sync-collection>";
  return out;
}

std::string calendar_multiget_body(const std::vector<std::string>& hrefs, bool with_data) {
  std::string out(kHead);
  out += "<c:calendar-multiget xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop><d:getetag/>";
  if (with_data) out += "<c:calendar-data/>";
  out += "</d:prop>";
  for (const auto& href : hrefs) out += "<d:href>" + xml_escape(href) + "</d:href>";
  out += "</c:calendar-multiget>";
  return out;
}

std::string mkcalendar_body(std::string_view display_name, std::string_view color) {
  std::string out(kHead);
  out +=
      "<c:mkcalendar xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\" "
      "xmlns:a=\"http://apple.com/ns/ical/\"><d:set><d:prop>";
  out += "<d:displayname>" + xml_escape(display_name) + "</d:displayname>";
  if (!color.empty()) out += "<a:calendar-color>" + xml_escape(color) + "</a:calendar-color>";
  out += "<c:supported-calendar-component-set><c:comp name=\"VEVENT\"/></c:supported-calendar-component-set>";
  out += "</d:prop></d:set></c:mkcalendar>";
  return out;
}

std::string proppatch_body(QName property, std::string_view value) {
  std::string out(kHead);
  out += "<d:propertyupdate xmlns:d=\"DAV:\"><d:set><d:prop><";
  out += property.name;
  out += " xmlns=\"" + xml_escape(property.ns) + "\">" + xml_escape(value) + "</";
  out += property.name;
  out += "></d:prop></d:set></d:propertyupdate>";
  return out;
}

}  // namespace calbridge::caldav
