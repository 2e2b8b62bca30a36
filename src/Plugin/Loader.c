/* The library a host loads. The plug-in itself lies beside it in lib/, with its own
   copies of the libraries it uses under private names; it is loaded deep-bound, so its
   references resolve inside the bundle even where the host already carries libraries
   with the same symbols (curl, SRT, FFmpeg, the encoders, libstdc++). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int (*NumberOfPlugins)(void);
typedef void* (*Plugin)(int);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static NumberOfPlugins numberOfPlugins;
static Plugin plugin;

static void load(void) {
  Dl_info self;
  if (dladdr(__extension__(void*) & load, &self) == 0 || self.dli_fname == NULL) return;
  const char* slash = strrchr(self.dli_fname, '/');
  const size_t folder = slash == NULL ? 0 : (size_t)(slash - self.dli_fname) + 1;
  static const char name[] = "lib/libveltrane.so";
  char* path = malloc(folder + sizeof name);
  if (path == NULL) return;
  memcpy(path, self.dli_fname, folder);
  memcpy(path + folder, name, sizeof name);
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
  free(path);
  if (handle == NULL) {
    /* The host only sees no plug-in; say why where someone can read it. */
    fprintf(stderr, "veltrane send: the plug-in cannot be loaded: %s\n", dlerror());
    return;
  }
  numberOfPlugins = __extension__(NumberOfPlugins) dlsym(handle, "OfxGetNumberOfPlugins");
  plugin = __extension__(Plugin) dlsym(handle, "OfxGetPlugin");
}

int OfxGetNumberOfPlugins(void) {
  pthread_once(&once, load);
  return numberOfPlugins != NULL && plugin != NULL ? numberOfPlugins() : 0;
}

void* OfxGetPlugin(int nth) {
  pthread_once(&once, load);
  return plugin != NULL ? plugin(nth) : NULL;
}
