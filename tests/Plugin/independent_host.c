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
typedef struct { const void *set; char name[64]; int index; char str[256]; int num; } Entry;
static Entry entries[4096];
static int count;
static char paramNames[64][64];
static int params;
static int effectTag, paramSetTag, hostTag, paramTags[64];

static Entry *find(const void *set, const char *name, int index) {
  for (int i = 0; i < count; ++i)
    if (entries[i].set == set && entries[i].index == index && strcmp(entries[i].name, name) == 0) return &entries[i];
  return NULL;
}
static Entry *put(const void *set, const char *name, int index) {
  Entry *e = find(set, name, index);
  if (e) return e;
  if (count == 4096) return NULL;
  e = &entries[count++];
  e->set = set; snprintf(e->name, sizeof e->name, "%s", name); e->index = index;
  return e;
}
static Status setString(Props p, const char *n, int i, const char *v) {
  Entry *e = put(p, n, i); if (!e) return 8;
  snprintf(e->str, sizeof e->str, "%s", v); return 0;
}
static Status setInt(Props p, const char *n, int i, int v) { Entry *e = put(p, n, i); if (!e) return 8; e->num = v; return 0; }
static Status setDouble(Props p, const char *n, int i, double v) { return setInt(p, n, i, (int)v); }
static Status setPointer(Props p, const char *n, int i, void *v) { (void)v; return setInt(p, n, i, 0); }
static Status setStringN(Props p, const char *n, int c, const char *const *v) {
  for (int i = 0; i < c; ++i) setString(p, n, i, v[i]);
  return 0;
}
static Status getString(Props p, const char *n, int i, char **v) {
  Entry *e = find(p, n, i); if (!e) return 3; *v = e->str; return 0;
}
static Status getDimension(Props p, const char *n, int *c) {
  *c = 0;
  while (find(p, n, *c)) ++*c;
  return *c ? 0 : 3;
}
static Status unsupported(void) { return 5; }
static Status getPropertySet(void *effect, Props *out) { (void)effect; *out = &effectTag; return 0; }
static Status getParamSet(void *effect, void **out) { (void)effect; *out = &paramSetTag; return 0; }
static Status clipDefine(void *effect, const char *name, Props *out) { (void)effect; (void)name; *out = &hostTag + 1; return 0; }
static Status paramDefine(void *set, const char *type, const char *name, Props *out) {
  (void)set; (void)type;
  if (params == 64) return 1;
  snprintf(paramNames[params], 64, "%s", name);
  *out = &paramTags[params++];
  return 0;
}

static void *propertySuite[18] = {(void *)setPointer, (void *)setString, (void *)setDouble, (void *)setInt,
                                  (void *)unsupported, (void *)setStringN, (void *)unsupported, (void *)unsupported,
                                  (void *)unsupported, (void *)getString, (void *)unsupported, (void *)unsupported,
                                  (void *)unsupported, (void *)unsupported, (void *)unsupported, (void *)unsupported,
                                  (void *)unsupported, (void *)getDimension};
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
#define CHECK(cond) do { if (!(cond)) { fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); ++failures; } } while (0)

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 1; }
  int (*number)(void) = (int (*)(void))dlsym(lib, "OfxGetNumberOfPlugins");
  Plugin *(*get)(int) = (Plugin * (*)(int)) dlsym(lib, "OfxGetPlugin");
  CHECK(number && get);
  if (!number || !get) return 1;
  CHECK(number() == 1);
  Plugin *p = get(0);
  CHECK(get(1) == NULL);
  CHECK(strcmp(p->pluginApi, "OfxImageEffectPluginAPI") == 0 && p->apiVersion == 1);
  CHECK(strcmp(p->pluginIdentifier, "com.veltrane.send") == 0 && p->major == 1 && p->minor == 0);

  Host host = {&hostTag, fetchSuite};
  p->setHost(&host);
  CHECK(p->mainEntry("OfxActionLoad", NULL, NULL, NULL) == 0);

  setString(&hostTag, "OfxImageEffectPropSupportedPixelDepths", 0, "OfxBitDepthByte");
  setString(&hostTag, "OfxImageEffectPropSupportedPixelDepths", 1, "OfxBitDepthHalf");
  CHECK(p->mainEntry("OfxActionDescribe", &effectTag, NULL, NULL) == 0);
  int depths = 0;
  char *first = NULL;
  getDimension(&effectTag, "OfxImageEffectPropSupportedPixelDepths", &depths);
  CHECK(depths == 2 && getString(&effectTag, "OfxImageEffectPropSupportedPixelDepths", 0, &first) == 0 &&
        strcmp(first, "OfxBitDepthHalf") == 0);

  CHECK(p->mainEntry("OfxImageEffectActionDescribeInContext", &effectTag, NULL, NULL) == 0);
  CHECK(params == 28 && strcmp(paramNames[0], "enabled") == 0 && strcmp(paramNames[27], "logout") == 0);
  CHECK(p->mainEntry("OfxActionPurgeCaches", &effectTag, NULL, NULL) == 14);
  CHECK(p->mainEntry("OfxActionUnload", NULL, NULL, NULL) == 0);
  dlclose(lib);
  printf("%s\n", failures ? "independent host: failures" : "independent host: ok");
  return failures ? 1 : 0;
}
