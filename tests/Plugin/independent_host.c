/* A host that knows only the published OpenFX interface: it declares the few layouts it
 * needs itself (record, suite slots, status codes), so a layout mistake shared by the
 * plug-in and our own host still shows here. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int Status;
typedef void *Props;
typedef struct { Props host; const void *(*fetchSuite)(Props, const char *, int); } Host;
typedef struct {
  const char *pluginApi; int apiVersion; const char *pluginIdentifier;
  unsigned int major, minor; void (*setHost)(Host *);
  Status (*mainEntry)(const char *, const void *, Props, Props);
} Plugin;

/* One flat store of string and int properties, enough for describing. */
typedef struct { const void *set; char name[64]; int index; char str[64]; int num; } Entry;
static Entry entries[1024];
static int count, params;
static char firstParam[64], lastParam[64];
static int effectTag, paramSetTag, hostTag, paramTag;

static Entry *put(const void *set, const char *name, int index) {
  for (int i = 0; i < count; ++i)
    if (entries[i].set == set && entries[i].index == index && strcmp(entries[i].name, name) == 0) return &entries[i];
  if (count == 1024) { fprintf(stderr, "too many properties\n"); exit(1); }
  Entry *e = &entries[count++];
  e->set = set; snprintf(e->name, sizeof e->name, "%s", name); e->index = index;
  return e;
}
static const char *str(const void *set, const char *name, int index) { return put(set, name, index)->str; }
static Status setString(Props p, const char *n, int i, const char *v) {
  snprintf(put(p, n, i)->str, sizeof entries[0].str, "%s", v);
  return 0;
}
static Status setInt(Props p, const char *n, int i, int v) { put(p, n, i)->num = v; return 0; }
static Status setDouble(Props p, const char *n, int i, double v) { return setInt(p, n, i, (int)v); }
static Status setPointer(Props p, const char *n, int i, void *v) { (void)v; return setInt(p, n, i, 0); }
static Status setStringN(Props p, const char *n, int c, const char *const *v) {
  for (int i = 0; i < c; ++i) setString(p, n, i, v[i]);
  return 0;
}
static Status unsupported(void) { return 5; }
static Status getPropertySet(void *effect, Props *out) { (void)effect; *out = &effectTag; return 0; }
static Status getParamSet(void *effect, void **out) { (void)effect; *out = &paramSetTag; return 0; }
static Status clipDefine(void *effect, const char *name, Props *out) {
  (void)effect; (void)name;
  *out = &hostTag + 1;
  return 0;
}
static Status paramDefine(void *set, const char *type, const char *name, Props *out) {
  (void)set; (void)type;
  snprintf(params++ ? lastParam : firstParam, 64, "%s", name);
  *out = &paramTag;
  return 0;
}

/* The host's pixel depths are left unreadable, so the plug-in offers all of its own. */
static void *propertySuite[18] = {(void *)setPointer, (void *)setString, (void *)setDouble, (void *)setInt,
                                  (void *)unsupported, (void *)setStringN, [6 ... 17] = (void *)unsupported};
static void *effectSuite[13] = {(void *)getPropertySet, (void *)getParamSet, (void *)clipDefine};
static void *paramSuite[18] = {(void *)paramDefine};

static const void *fetchSuite(Props host, const char *name, int version) {
  (void)host;
  if (version != 1) return NULL;
  if (strcmp(name, "OfxPropertySuite") == 0) return propertySuite;
  if (strcmp(name, "OfxImageEffectSuite") == 0) return effectSuite;
  if (strcmp(name, "OfxParameterSuite") == 0) return paramSuite;
  return NULL;
}

static int failures;
#define CHECK(cond) \
  do { if (!(cond)) { fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); ++failures; } } while (0)

int main(int argc, char **argv) {
  void *lib = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  if (!lib) { fprintf(stderr, "cannot open the bundle: %s\n", argc == 2 ? dlerror() : "no path"); return 1; }
  int (*number)(void) = (int (*)(void))dlsym(lib, "OfxGetNumberOfPlugins");
  Plugin *(*get)(int) = (Plugin * (*)(int)) dlsym(lib, "OfxGetPlugin");
  if (!number || !get || number() != 1 || !get(0)) { fprintf(stderr, "no plug-in record\n"); return 1; }
  Plugin *p = get(0);
  CHECK(strcmp(p->pluginApi, "OfxImageEffectPluginAPI") == 0 && p->apiVersion == 1);
  CHECK(strcmp(p->pluginIdentifier, "com.veltrane.send") == 0 && p->major == 1 && p->minor == 0);

  Host host = {&hostTag, fetchSuite};
  p->setHost(&host);
  CHECK(p->mainEntry("OfxActionLoad", NULL, NULL, NULL) == 0);
  CHECK(p->mainEntry("OfxActionDescribe", &effectTag, NULL, NULL) == 0);
  CHECK(strcmp(str(&effectTag, "OfxImageEffectPropSupportedContexts", 1), "OfxImageEffectContextGeneral") == 0);
  CHECK(strcmp(str(&effectTag, "OfxImageEffectPropSupportedPixelDepths", 0), "OfxBitDepthFloat") == 0);
  CHECK(strcmp(str(&effectTag, "OfxImageEffectPropSupportedPixelDepths", 3), "OfxBitDepthByte") == 0);
  CHECK(strcmp(str(&effectTag, "OfxImageEffectPluginRenderThreadSafety", 0), "OfxImageEffectRenderInstanceSafe") == 0);
  CHECK(put(&effectTag, "OfxImageEffectInstancePropSequentialRender", 0)->num == 2);
  CHECK(p->mainEntry("OfxImageEffectActionDescribeInContext", &effectTag, NULL, NULL) == 0);
  CHECK(params == 28 && strcmp(firstParam, "enabled") == 0 && strcmp(lastParam, "logout") == 0);
  CHECK(p->mainEntry("OfxActionPurgeCaches", &effectTag, NULL, NULL) == 14);
  CHECK(p->mainEntry("OfxActionUnload", NULL, NULL, NULL) == 0);
  dlclose(lib);
  printf("%s\n", failures ? "independent host: failures" : "independent host: ok");
  return failures ? 1 : 0;
}
