// qv_fake_secret_service: a Secret Service (org.freedesktop.secrets) on the session bus that behaves
// like a keyring a user has to answer, for tests of code that must not wait on one.
//
// It keeps items in memory in one collection, answers lookups at once, and can be told to be slow
// and to ask: every call whose method is named with --delay waits that long for its answer; with
// --fresh there is no default keyring yet, so the first item stored makes the client create one,
// which needs a prompt (on a real desktop: "choose a password for the new keyring"); with --locked
// the keyring is locked, and reading or storing a secret needs a prompt to unlock it (SIGHUP locks
// it again, as a keyring locks itself when idle). Prompts stay open until the process gets SIGUSR1
// (all open prompts are dismissed, as a user who cancels) or SIGUSR2 (all are accepted), or until
// --dismiss-after has passed.
//
// It writes one line per call to standard output ("CreateCollection", "Prompt /org/...") and "ready"
// once it owns its name, so a test can follow what the client asked.
//
//   qv_fake_secret_service [--fresh | --locked] [--delay METHOD=SECONDS]... [--dismiss-after SECONDS]
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kCollectionPath = "/org/freedesktop/secrets/collection/login";
constexpr const char* kAliasPath = "/org/freedesktop/secrets/aliases/default";
constexpr const char* kSessionPath = "/org/freedesktop/secrets/session/s1";

constexpr const char* kInterfaces = R"xml(<node>
  <interface name="org.freedesktop.Secret.Service">
    <method name="OpenSession">
      <arg name="algorithm" type="s" direction="in"/><arg name="input" type="v" direction="in"/>
      <arg name="output" type="v" direction="out"/><arg name="result" type="o" direction="out"/>
    </method>
    <method name="SearchItems">
      <arg name="attributes" type="a{ss}" direction="in"/>
      <arg name="unlocked" type="ao" direction="out"/><arg name="locked" type="ao" direction="out"/>
    </method>
    <method name="GetSecrets">
      <arg name="items" type="ao" direction="in"/><arg name="session" type="o" direction="in"/>
      <arg name="secrets" type="a{o(oayays)}" direction="out"/>
    </method>
    <method name="ReadAlias">
      <arg name="name" type="s" direction="in"/><arg name="collection" type="o" direction="out"/>
    </method>
    <method name="CreateCollection">
      <arg name="properties" type="a{sv}" direction="in"/><arg name="alias" type="s" direction="in"/>
      <arg name="collection" type="o" direction="out"/><arg name="prompt" type="o" direction="out"/>
    </method>
    <method name="Unlock">
      <arg name="objects" type="ao" direction="in"/>
      <arg name="unlocked" type="ao" direction="out"/><arg name="prompt" type="o" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.Secret.Collection">
    <method name="CreateItem">
      <arg name="properties" type="a{sv}" direction="in"/><arg name="secret" type="(oayays)" direction="in"/>
      <arg name="replace" type="b" direction="in"/>
      <arg name="item" type="o" direction="out"/><arg name="prompt" type="o" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.Secret.Item">
    <method name="Delete"><arg name="prompt" type="o" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.Secret.Prompt">
    <method name="Prompt"><arg name="window_id" type="s" direction="in"/></method>
    <method name="Dismiss"/>
    <signal name="Completed"><arg name="dismissed" type="b"/><arg name="result" type="v"/></signal>
  </interface>
</node>)xml";

struct Item {
  std::map<std::string, std::string> attributes;
  std::string secret;
  std::string contentType;
  guint registration = 0;
};

// A prompt creates the default keyring or unlocks it.
struct Prompt {
  enum class Kind { create, unlock } kind = Kind::create;
  guint registration = 0;
};

struct Fake {
  GDBusConnection* connection = nullptr;
  GDBusNodeInfo* node = nullptr;
  bool collectionExists = true;
  bool locked = false;
  std::map<std::string, double> delays;
  double dismissAfter = -1;
  std::map<std::string, Item> items;  // by object path
  std::map<std::string, Prompt> prompts;
  int nextItem = 1;
  int nextPrompt = 1;
};

Fake gFake;

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

GDBusInterfaceInfo* interface(const char* name) {
  return g_dbus_node_info_lookup_interface(gFake.node, name);
}

void registerObject(const std::string& path, const char* interfaceName, guint* registration);

// The default keyring, under its path and its alias's path.
void createCollection() {
  if (gFake.collectionExists) return;
  gFake.collectionExists = true;
  static guint registrations[2];
  registerObject(kCollectionPath, "org.freedesktop.Secret.Collection", &registrations[0]);
  registerObject(kAliasPath, "org.freedesktop.Secret.Collection", &registrations[1]);
}

GVariant* pathArray(const std::vector<std::string>& paths);

// Ends a prompt: its client hears Completed, and the prompt is gone.
void completePrompt(const std::string& path, bool dismissed) {
  auto found = gFake.prompts.find(path);
  if (found == gFake.prompts.end()) return;
  // Accepted, the keyring exists or is unlocked. A dismissed prompt answers an empty result of the
  // type the accepted one has, as GNOME Keyring does.
  GVariant* result = nullptr;
  if (found->second.kind == Prompt::Kind::create) {
    if (!dismissed) createCollection();
    result = g_variant_new_object_path(dismissed ? "/" : kCollectionPath);
  } else {
    if (!dismissed) gFake.locked = false;
    result = pathArray(dismissed ? std::vector<std::string>{} : std::vector<std::string>{kCollectionPath});
  }
  result = g_variant_new_variant(result);
  g_dbus_connection_emit_signal(gFake.connection, nullptr, path.c_str(), "org.freedesktop.Secret.Prompt",
                                "Completed", g_variant_new("(b@v)", dismissed, result), nullptr);
  g_dbus_connection_unregister_object(gFake.connection, found->second.registration);
  gFake.prompts.erase(found);
  say(std::string(dismissed ? "Dismissed " : "Accepted ") + path);
}

void completeAllPrompts(bool dismissed) {
  std::vector<std::string> open;
  for (const auto& [path, prompt] : gFake.prompts) open.push_back(path);
  for (const auto& path : open) completePrompt(path, dismissed);
}

std::string newPrompt(Prompt::Kind kind) {
  std::string path = std::string(kServicePath) + "/prompt/p" + std::to_string(gFake.nextPrompt++);
  Prompt prompt;
  prompt.kind = kind;
  registerObject(path, "org.freedesktop.Secret.Prompt", &prompt.registration);
  gFake.prompts[path] = prompt;
  return path;
}

bool matches(const Item& item, GVariant* attributes) {
  GVariantIter iter;
  const char* key = nullptr;
  const char* value = nullptr;
  g_variant_iter_init(&iter, attributes);
  while (g_variant_iter_next(&iter, "{&s&s}", &key, &value)) {
    auto found = item.attributes.find(key);
    if (found == item.attributes.end() || found->second != value) return false;
  }
  return true;
}

GVariant* pathArray(const std::vector<std::string>& paths) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("ao"));
  for (const auto& path : paths) g_variant_builder_add(&builder, "o", path.c_str());
  return g_variant_builder_end(&builder);
}

GVariant* bytes(const std::string& text) {
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text.data(), text.size(), 1);
}

// The answer to one call, or null with `error` set.
GVariant* answer(const std::string& path, const std::string& method, GVariant* parameters, GError** error) {
  if (method == "OpenSession") {
    const char* algorithm = nullptr;
    GVariant* input = nullptr;
    g_variant_get(parameters, "(&sv)", &algorithm, &input);
    g_variant_unref(input);
    if (std::strcmp(algorithm, "plain") != 0) {
      g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "only plain sessions here");
      return nullptr;
    }
    return g_variant_new("(@vo)", g_variant_new_variant(g_variant_new_string("")), kSessionPath);
  }
  if (method == "SearchItems") {
    GVariant* attributes = g_variant_get_child_value(parameters, 0);
    std::vector<std::string> found;
    for (const auto& [itemPath, item] : gFake.items)
      if (matches(item, attributes)) found.push_back(itemPath);
    g_variant_unref(attributes);
    // A locked keyring tells which items there are, not what they hold.
    if (gFake.locked) return g_variant_new("(@ao@ao)", pathArray({}), pathArray(found));
    return g_variant_new("(@ao@ao)", pathArray(found), pathArray({}));
  }
  if (method == "GetSecrets" || method == "CreateItem") {
    if (gFake.locked) {
      *error =
          g_dbus_error_new_for_dbus_error("org.freedesktop.Secret.Error.IsLocked", "the keyring is locked");
      return nullptr;
    }
  }
  if (method == "GetSecrets") {
    GVariant* wanted = g_variant_get_child_value(parameters, 0);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{o(oayays)}"));
    GVariantIter iter;
    const char* itemPath = nullptr;
    g_variant_iter_init(&iter, wanted);
    while (g_variant_iter_next(&iter, "&o", &itemPath)) {
      auto found = gFake.items.find(itemPath);
      if (found == gFake.items.end()) continue;
      g_variant_builder_add(&builder, "{o(o@ay@ays)}", itemPath, kSessionPath, bytes(""),
                            bytes(found->second.secret), found->second.contentType.c_str());
    }
    g_variant_unref(wanted);
    return g_variant_new("(@a{o(oayays)})", g_variant_builder_end(&builder));
  }
  if (method == "ReadAlias") {
    const char* name = nullptr;
    g_variant_get(parameters, "(&s)", &name);
    const bool known = gFake.collectionExists && std::strcmp(name, "default") == 0;
    return g_variant_new("(o)", known ? kCollectionPath : "/");
  }
  if (method == "CreateCollection") {
    if (gFake.collectionExists) return g_variant_new("(oo)", kCollectionPath, "/");
    return g_variant_new("(oo)", "/", newPrompt(Prompt::Kind::create).c_str());
  }
  if (method == "Unlock") {
    GVariant* objects = g_variant_get_child_value(parameters, 0);
    if (!gFake.locked) return g_variant_new("(@aoo)", objects, "/");
    g_variant_unref(objects);
    return g_variant_new("(@aoo)", pathArray({}), newPrompt(Prompt::Kind::unlock).c_str());
  }
  if (method == "CreateItem") {
    GVariant* properties = nullptr;
    GVariant* secret = nullptr;
    gboolean replace = FALSE;
    g_variant_get(parameters, "(@a{sv}@(oayays)b)", &properties, &secret, &replace);
    Item item;
    if (GVariant* attributes = g_variant_lookup_value(properties, "org.freedesktop.Secret.Item.Attributes",
                                                      G_VARIANT_TYPE("a{ss}"))) {
      GVariantIter iter;
      const char* key = nullptr;
      const char* value = nullptr;
      g_variant_iter_init(&iter, attributes);
      while (g_variant_iter_next(&iter, "{&s&s}", &key, &value)) item.attributes[key] = value;
      g_variant_unref(attributes);
    }
    GVariant* value = g_variant_get_child_value(secret, 2);
    gsize length = 0;
    const auto* data = static_cast<const char*>(g_variant_get_fixed_array(value, &length, 1));
    item.secret.assign(data, length);
    g_variant_unref(value);
    const char* contentType = nullptr;
    g_variant_get_child(secret, 3, "&s", &contentType);
    item.contentType = contentType;
    g_variant_unref(secret);
    g_variant_unref(properties);
    std::string itemPath;
    for (auto& [existingPath, existing] : gFake.items) {
      if (replace && existing.attributes == item.attributes) itemPath = existingPath;
    }
    if (itemPath.empty()) {
      itemPath = std::string(kCollectionPath) + "/i" + std::to_string(gFake.nextItem++);
      registerObject(itemPath, "org.freedesktop.Secret.Item", &item.registration);
      gFake.items[itemPath] = item;
    } else {
      gFake.items[itemPath].secret = item.secret;
      gFake.items[itemPath].contentType = item.contentType;
    }
    return g_variant_new("(oo)", itemPath.c_str(), "/");
  }
  if (method == "Delete") {
    auto found = gFake.items.find(path);
    if (found != gFake.items.end()) {
      g_dbus_connection_unregister_object(gFake.connection, found->second.registration);
      gFake.items.erase(found);
    }
    return g_variant_new("(o)", "/");
  }
  if (method == "Prompt") {
    if (gFake.dismissAfter >= 0) {
      auto* held = new std::string(path);
      g_timeout_add_full(
          G_PRIORITY_DEFAULT, static_cast<guint>(gFake.dismissAfter * 1000),
          [](gpointer data) -> gboolean {
            completePrompt(*static_cast<std::string*>(data), true);
            return G_SOURCE_REMOVE;
          },
          held, [](gpointer data) { delete static_cast<std::string*>(data); });
    }
    return g_variant_new("()");
  }
  if (method == "Dismiss") {
    completePrompt(path, true);
    return g_variant_new("()");
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "no method %s here", method.c_str());
  return nullptr;
}

struct Call {
  GDBusMethodInvocation* invocation;
  std::string path;
  std::string method;
  GVariant* parameters;
};

// Answers now: the state is read at the time of the answer, as a slow keyring would.
void reply(Call* call) {
  GError* error = nullptr;
  GVariant* result = answer(call->path, call->method, call->parameters, &error);
  if (result) {
    g_dbus_method_invocation_return_value(call->invocation, result);
  } else {
    g_dbus_method_invocation_return_gerror(call->invocation, error);
    g_error_free(error);
  }
  g_variant_unref(call->parameters);
  delete call;
}

void onMethodCall(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  say(std::string(method) + " " + path);
  auto* call = new Call{invocation, path, method, g_variant_ref(parameters)};
  auto delay = gFake.delays.find(method);
  if (delay == gFake.delays.end() || delay->second <= 0) {
    reply(call);
    return;
  }
  g_timeout_add(
      static_cast<guint>(delay->second * 1000),
      [](gpointer data) -> gboolean {
        reply(static_cast<Call*>(data));
        return G_SOURCE_REMOVE;
      },
      call);
}

const GDBusInterfaceVTable kVTable = {onMethodCall, nullptr, nullptr, {}};

void registerObject(const std::string& path, const char* interfaceName, guint* registration) {
  GError* error = nullptr;
  *registration = g_dbus_connection_register_object(gFake.connection, path.c_str(), interface(interfaceName),
                                                    &kVTable, nullptr, nullptr, &error);
  if (!*registration) {
    std::fprintf(stderr, "qv_fake_secret_service: cannot register %s: %s\n", path.c_str(), error->message);
    std::exit(1);
  }
}

void onNameAcquired(GDBusConnection*, const gchar*, gpointer) { say("ready"); }

void onNameLost(GDBusConnection*, const gchar* name, gpointer) {
  std::fprintf(stderr, "qv_fake_secret_service: the bus name %s is taken or the bus is gone\n", name);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--fresh") {
      gFake.collectionExists = false;
    } else if (argument == "--locked") {
      gFake.locked = true;
    } else if (argument == "--delay" && i + 1 < argc) {
      const std::string setting = argv[++i];
      const auto equals = setting.find('=');
      if (equals == std::string::npos) return 2;
      gFake.delays[setting.substr(0, equals)] = std::atof(setting.c_str() + equals + 1);
    } else if (argument == "--dismiss-after" && i + 1 < argc) {
      gFake.dismissAfter = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--fresh | --locked] [--delay METHOD=SECONDS]... [--dismiss-after SECONDS]\n",
                   argv[0]);
      return 2;
    }
  }
  GError* error = nullptr;
  gFake.node = g_dbus_node_info_new_for_xml(kInterfaces, &error);
  gFake.connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!gFake.node || !gFake.connection) {
    std::fprintf(stderr, "qv_fake_secret_service: %s\n", error ? error->message : "no session bus");
    return 1;
  }
  // Ends with the bus it serves.
  g_dbus_connection_set_exit_on_close(gFake.connection, TRUE);
  static guint serviceRegistration = 0;
  registerObject(kServicePath, "org.freedesktop.Secret.Service", &serviceRegistration);
  if (gFake.collectionExists) {
    gFake.collectionExists = false;
    createCollection();
  }
  g_unix_signal_add(
      SIGUSR1,
      [](gpointer) -> gboolean {
        completeAllPrompts(true);
        return G_SOURCE_CONTINUE;
      },
      nullptr);
  g_unix_signal_add(
      SIGUSR2,
      [](gpointer) -> gboolean {
        completeAllPrompts(false);
        return G_SOURCE_CONTINUE;
      },
      nullptr);
  g_unix_signal_add(
      SIGHUP,
      [](gpointer) -> gboolean {
        gFake.locked = true;
        say("Locked");
        return G_SOURCE_CONTINUE;
      },
      nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(
      SIGTERM,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      loop);
  g_bus_own_name_on_connection(gFake.connection, "org.freedesktop.secrets",
                               G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, onNameAcquired, onNameLost, nullptr,
                               nullptr);
  g_main_loop_run(loop);
  return 0;
}
