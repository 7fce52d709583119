#include "evolution/collection_server.h"

#include "calendar/store.h"
#include "evolution/glib_support.h"

#include <libedataserver/libedataserver.h>

#include <algorithm>
#include <cctype>

namespace calbridge {

namespace {

struct NamedParametersFree {
  void operator()(ENamedParameters* parameters) const { e_named_parameters_free(parameters); }
};

struct GUriUnref {
  void operator()(GUri* uri) const { g_uri_unref(uri); }
};

// A WebDAV session signed in as the account, or null with why in `problem`.
GRef<EWebDAVSession> sessionFor(ESourceRegistry* registry, ESource* collection, GCancellable* cancellable,
                                std::string& problem) {
  GRef<ESourceCredentialsProvider> provider(e_source_credentials_provider_new(registry));
  ENamedParameters* found = nullptr;
  GErrorHolder error;
  if (!e_source_credentials_provider_lookup_sync(provider.get(), collection, cancellable, &found, error.out())) {
    problem = "no stored credentials for the account: " + error.message();
    return nullptr;
  }
  std::unique_ptr<ENamedParameters, NamedParametersFree> credentials(found);
  GRef<EWebDAVSession> session(e_webdav_session_new(collection));
  e_soup_session_set_credentials(E_SOUP_SESSION(session.get()), credentials.get());
  return session;
}

std::string calendarUrlOf(ESource* collection) {
  auto* extension = static_cast<ESourceCollection*>(e_source_get_extension(collection, E_SOURCE_EXTENSION_COLLECTION));
  const gchar* url = e_source_collection_get_calendar_url(extension);
  return url != nullptr ? url : "";
}

// The href of a property holding one (DAV:href) in a PROPFIND answer at `url`, as a full URL.
std::optional<std::string> hrefProperty(EWebDAVSession* session, const std::string& url, const char* ns,
                                        const char* name, GCancellable* cancellable, std::string& problem) {
  GRef<EXmlDocument> xml(e_xml_document_new(E_WEBDAV_NS_DAV, "propfind"));
  e_xml_document_add_namespaces(xml.get(), "C", E_WEBDAV_NS_CALDAV, nullptr);
  e_xml_document_start_element(xml.get(), nullptr, "prop");
  e_xml_document_start_element(xml.get(), ns, name);
  e_xml_document_end_element(xml.get());
  e_xml_document_end_element(xml.get());
  struct Found {
    const char* ns;
    const char* name;
    EWebDAVSession* session;
    std::optional<std::string> url;
  } found{ns, name, session, std::nullopt};
  GErrorHolder error;
  const bool answered = e_webdav_session_propfind_sync(
      session, url.c_str(), E_WEBDAV_DEPTH_THIS, xml.get(),
      [](EWebDAVSession* webdav, xmlNode* prop, const GUri* request, const gchar*, guint status,
         gpointer data) -> gboolean {
        auto* f = static_cast<Found*>(data);
        if (status != 200 || f->url) return TRUE;
        xmlNode* href = e_xml_find_in_hierarchy(prop, f->ns, f->name, E_WEBDAV_NS_DAV, "href", nullptr, nullptr);
        const xmlChar* text = href != nullptr ? e_xml_get_node_text(href) : nullptr;
        if (text == nullptr || *text == '\0') return TRUE;
        GText full(e_webdav_session_ensure_full_uri(webdav, request, reinterpret_cast<const gchar*>(text)));
        if (full) f->url = std::string(full.get());
        return TRUE;
      },
      &found, cancellable, error.out());
  if (!answered) problem = "the server did not answer: " + error.message();
  return found.url;
}

std::string pathOf(const std::string& url) {
  GErrorHolder error;
  std::unique_ptr<GUri, GUriUnref> uri(g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, error.out()));
  if (!uri) return {};
  return g_uri_get_path(uri.get());
}

// The account's server and `path` as one URL.
std::optional<std::string> urlAt(ESource* collection, const std::string& path) {
  GErrorHolder error;
  std::unique_ptr<GUri, GUriUnref> base(
      g_uri_parse(calendarUrlOf(collection).c_str(), G_URI_FLAGS_ENCODED, error.out()));
  if (!base) return std::nullopt;
  std::unique_ptr<GUri, GUriUnref> at(g_uri_parse_relative(base.get(), path.c_str(), G_URI_FLAGS_ENCODED, error.out()));
  if (!at) return std::nullopt;
  GText text(g_uri_to_string(at.get()));
  return std::string(text.get());
}

std::string decoded(std::string_view path) {
  GText text(g_uri_unescape_segment(path.data(), path.data() + path.size(), nullptr));
  std::string out = text ? text.get() : std::string(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

}  // namespace

bool samePath(std::string_view a, std::string_view b) { return decoded(a) == decoded(b); }

std::optional<std::string> makeCollectionCalendar(ESourceRegistry* registry, ESource* collection,
                                                  const std::string& title, const std::string& color,
                                                  GCancellable* cancellable, std::string& problem) {
  const std::string start = calendarUrlOf(collection);
  if (start.empty()) {
    problem = "the account names no calendar URL";
    return std::nullopt;
  }
  GRef<EWebDAVSession> session = sessionFor(registry, collection, cancellable, problem);
  if (!session) return std::nullopt;
  // The calendar home: named where the account points, or by the principal it names.
  std::optional<std::string> home =
      hrefProperty(session.get(), start, E_WEBDAV_NS_CALDAV, "calendar-home-set", cancellable, problem);
  if (!home) {
    if (auto principal =
            hrefProperty(session.get(), start, E_WEBDAV_NS_DAV, "current-user-principal", cancellable, problem)) {
      home = hrefProperty(session.get(), *principal, E_WEBDAV_NS_CALDAV, "calendar-home-set", cancellable, problem);
    }
  }
  if (!home) {
    if (problem.empty()) problem = "the server names no calendar home for the account";
    return std::nullopt;
  }
  std::string url = *home;
  if (url.empty() || url.back() != '/') url += '/';
  std::string name = newUuid();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  url += name + "/";
  GErrorHolder error;
  if (!e_webdav_session_mkcalendar_sync(session.get(), url.c_str(), title.c_str(), nullptr,
                                        color.empty() ? nullptr : color.c_str(), E_WEBDAV_RESOURCE_SUPPORTS_EVENTS,
                                        cancellable, error.out())) {
    problem = "the server refused the new calendar: " + error.message();
    return std::nullopt;
  }
  return pathOf(url);
}

bool removeCollectionCalendar(ESourceRegistry* registry, ESource* collection, const std::string& path,
                              GCancellable* cancellable, std::string& problem) {
  std::optional<std::string> url = urlAt(collection, path);
  if (!url) {
    problem = "no URL for " + path;
    return false;
  }
  GRef<EWebDAVSession> session = sessionFor(registry, collection, cancellable, problem);
  if (!session) return false;
  GErrorHolder error;
  if (!e_webdav_session_delete_sync(session.get(), url->c_str(), E_WEBDAV_DEPTH_INFINITY, nullptr, cancellable,
                                    error.out())) {
    problem = "the server refused to remove the calendar: " + error.message();
    return false;
  }
  return true;
}

}  // namespace calbridge
