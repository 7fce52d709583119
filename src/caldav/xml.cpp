#include "caldav/xml.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

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

// The state of one multistatus being read, driven by libxml2's SAX2 push
// parser: pieces of the body go in as they arrive, one DAV:response at a time
// comes out, and only the properties asked for are kept, each bounded.
struct MultistatusReader::State {
  std::vector<std::pair<std::string, std::string>> wanted;  // ns, name
  std::function<void(DavResponse&&)> on_response;
  MultistatusLimits limits;
  xmlParserCtxtPtr parser = nullptr;
  MultistatusResult result;
  std::string parse_error;
  bool root_seen = false, failed = false;

  // Path of open elements, by namespace URI and local name, down to the
  // property being kept; below a property left out, only how deep.
  std::vector<std::pair<std::string, std::string>> path;
  size_t skipped_levels = 0;
  std::optional<DavResponse> response;
  std::optional<Propstat> propstat;
  std::optional<Property> property;
  size_t property_depth = 0;      // path size with the property open
  size_t text_limit = 0;          // of the property open
  std::vector<size_t> open_desc;  // indices into property->descendants, innermost last
  std::string text;               // character data of the element being read (href, status, token)

  void fail(std::string why) {
    if (failed) return;
    failed = true;
    result.error = std::move(why);
    if (parser != nullptr) xmlStopParser(parser);
  }

  bool is_wanted(std::string_view ns, std::string_view name) const {
    return std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == ns && w.second == name; });
  }

  void start(std::string ns, std::string name, std::string name_attr) {
    if (skipped_levels > 0) {
      ++skipped_levels;
      return;
    }
    if (!root_seen) {
      root_seen = true;
      if (ns != kDav || name != "multistatus") return fail("the reply is not a multistatus");
    }
    text.clear();
    if (property) {
      if (property->descendants.size() >= limits.descendants) {
        property->too_long = true;
        skipped_levels = 1;
        return;
      }
      path.emplace_back(std::move(ns), std::move(name));
      property->descendants.push_back({path.back().first, path.back().second, {}, std::move(name_attr)});
      open_desc.push_back(property->descendants.size() - 1);
      return;
    }
    const size_t d = path.size() + 1;
    if (d == 5 && propstat && is(path[3], kDav, "prop") && !is_wanted(ns, name)) {
      skipped_levels = 1;
      return;
    }
    path.emplace_back(std::move(ns), std::move(name));
    const auto& e = path.back();
    if (d == 2 && is(path[0], kDav, "multistatus") && is(e, kDav, "response")) {
      response.emplace();
    } else if (response && d == 4 && is(path[2], kDav, "error")) {
      if (response->errors.size() < limits.descendants) response->errors.push_back(e.first + " " + e.second);
    } else if (response && d == 3 && is(e, kDav, "propstat")) {
      propstat.emplace();
    } else if (propstat && d == 5 && is(path[3], kDav, "prop")) {
      property.emplace();
      property->ns = e.first;
      property->name = e.second;
      property_depth = d;
      text_limit = is(e, kCaldav, "calendar-data") ? limits.data : limits.text;
    }
  }

  void end() {
    if (skipped_levels > 0) {
      --skipped_levels;
      return;
    }
    if (path.empty()) return;
    const size_t d = path.size();
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
  }

  void characters(std::string_view value) {
    if (skipped_levels > 0) return;
    if (property) {
      if (path.size() == property_depth) {
        if (property->too_long) return;
        if (property->text.size() + value.size() > text_limit) {
          // Too long to keep whole: calendar data, which a part of is no use
          // for, is dropped; other text keeps its beginning.
          property->too_long = true;
          if (text_limit == limits.data) {
            property->text.clear();
            property->text.shrink_to_fit();
          } else {
            property->text.append(value.substr(0, text_limit - property->text.size()));
          }
          return;
        }
        property->text.append(value);
      } else if (!open_desc.empty()) {
        auto& t = property->descendants[open_desc.back()].text;
        if (t.size() + value.size() <= limits.element_text) t.append(value);
      }
    } else if (text.size() + value.size() <= limits.element_text) {
      text.append(value);
    }
  }
};

namespace {

MultistatusReader::State& state_of(void* context) {
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  return *static_cast<MultistatusReader::State*>(parser->_private);
}

void on_start(void* context, const xmlChar* localname, const xmlChar*, const xmlChar* uri, int, const xmlChar**,
              int attribute_count, int, const xmlChar** attributes) {
  std::string name_attr;
  // Five pointers an attribute: local name, prefix, URI, value start, value end.
  for (int i = 0; i < attribute_count; ++i) {
    const xmlChar** a = attributes + 5 * i;
    if (as_view(a[0]) == "name" && a[2] == nullptr)
      name_attr.assign(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3]));
  }
  state_of(context).start(std::string(as_view(uri)), std::string(as_view(localname)), std::move(name_attr));
}

void on_end(void* context, const xmlChar*, const xmlChar*, const xmlChar*) { state_of(context).end(); }

void on_characters(void* context, const xmlChar* text, int length) {
  state_of(context).characters(std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
}

void on_doctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  state_of(context).fail("a document type or entity in the reply");
}

void on_reference(void* context, const xmlChar*) { state_of(context).fail("a document type or entity in the reply"); }

void on_error(void* context, xmlErrorPtr error) {
  // Errors are collected, never printed: the bridge writes nothing to stderr.
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  auto* state = parser != nullptr ? static_cast<MultistatusReader::State*>(parser->_private) : nullptr;
  if (state != nullptr && state->parse_error.empty() && error != nullptr && error->message != nullptr)
    state->parse_error = trim(error->message);
}

}  // namespace

MultistatusReader::MultistatusReader(const std::vector<QName>& wanted, std::function<void(DavResponse&&)> on_response,
                                     MultistatusLimits limits)
    : state_(std::make_unique<State>()) {
  for (const auto& q : wanted) state_->wanted.emplace_back(std::string(q.ns), std::string(q.name));
  state_->on_response = std::move(on_response);
  state_->limits = limits;
  xmlSAXHandler sax{};
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = on_start;
  sax.endElementNs = on_end;
  sax.characters = on_characters;
  sax.cdataBlock = on_characters;
  sax.internalSubset = on_doctype;
  sax.externalSubset = on_doctype;
  sax.reference = on_reference;
  sax.serror = on_error;
  state_->parser = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
  if (state_->parser == nullptr) {
    state_->fail("cannot read the reply");
    return;
  }
  // The callbacks get the parser; what they work on hangs from it.
  state_->parser->_private = state_.get();
  xmlCtxtUseOptions(state_->parser, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

MultistatusReader::~MultistatusReader() {
  if (state_->parser != nullptr) {
    if (state_->parser->myDoc != nullptr) xmlFreeDoc(state_->parser->myDoc);
    xmlFreeParserCtxt(state_->parser);
  }
}

bool MultistatusReader::feed(std::string_view piece) {
  State& s = *state_;
  constexpr size_t kSlice = 1u << 20;  // xmlParseChunk takes an int
  while (!s.failed && !piece.empty()) {
    const size_t n = std::min(piece.size(), kSlice);
    if (xmlParseChunk(s.parser, piece.data(), static_cast<int>(n), 0) != 0 && !s.failed)
      s.fail(s.parse_error.empty() ? "the reply is not well-formed XML" : s.parse_error);
    piece.remove_prefix(n);
  }
  return !s.failed;
}

MultistatusResult MultistatusReader::finish() {
  State& s = *state_;
  if (!s.failed && xmlParseChunk(s.parser, nullptr, 0, 1) != 0 && !s.failed)
    s.fail(s.parse_error.empty() ? "the reply is not well-formed XML" : s.parse_error);
  if (!s.failed && !s.root_seen) s.fail("the reply is empty");
  s.result.ok = !s.failed;
  return s.result;
}

MultistatusResult parse_multistatus(std::string_view body, const std::vector<QName>& wanted,
                                    const std::function<void(DavResponse&&)>& on_response, MultistatusLimits limits) {
  MultistatusReader reader(wanted, on_response, limits);
  reader.feed(body);
  return reader.finish();
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
