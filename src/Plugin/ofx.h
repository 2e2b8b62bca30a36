/* The plain-C OpenFX image-effect interface, as far as this plug-in and its
 * test host use it. Layouts and strings are binding: hosts call through them. */
#ifndef VELTRANE_OFX_H
#define VELTRANE_OFX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int OfxStatus;
typedef double OfxTime;
typedef struct OfxPropertySetStruct *OfxPropertySetHandle;
typedef struct OfxImageEffectStruct *OfxImageEffectHandle;
typedef struct OfxImageClipStruct *OfxImageClipHandle;
typedef struct OfxImageMemoryStruct *OfxImageMemoryHandle;
typedef struct OfxParamStruct *OfxParamHandle;
typedef struct OfxParamSetStruct *OfxParamSetHandle;

typedef struct OfxRectI { int x1, y1, x2, y2; } OfxRectI;
typedef struct OfxRectD { double x1, y1, x2, y2; } OfxRectD;
typedef struct OfxPointD { double x, y; } OfxPointD;
typedef struct OfxRangeD { double min, max; } OfxRangeD;

#define kOfxStatOK 0
#define kOfxStatFailed 1
#define kOfxStatErrFatal 2
#define kOfxStatErrUnknown 3
#define kOfxStatErrMissingHostFeature 4
#define kOfxStatErrUnsupported 5
#define kOfxStatErrExists 6
#define kOfxStatErrFormat 7
#define kOfxStatErrMemory 8
#define kOfxStatErrBadHandle 9
#define kOfxStatErrBadIndex 10
#define kOfxStatErrValue 11
#define kOfxStatReplyYes 12
#define kOfxStatReplyNo 13
#define kOfxStatReplyDefault 14

typedef struct OfxHost {
  OfxPropertySetHandle host;
  const void *(*fetchSuite)(OfxPropertySetHandle host, const char *suiteName, int suiteVersion);
} OfxHost;

typedef OfxStatus(OfxPluginEntryPoint)(const char *action, const void *handle,
                                       OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs);

typedef struct OfxPlugin {
  const char *pluginApi;
  int apiVersion;
  const char *pluginIdentifier;
  unsigned int pluginVersionMajor;
  unsigned int pluginVersionMinor;
  void (*setHost)(OfxHost *host);
  OfxPluginEntryPoint *mainEntry;
} OfxPlugin;

typedef struct OfxPropertySuiteV1 {
  OfxStatus (*propSetPointer)(OfxPropertySetHandle, const char *, int, void *);
  OfxStatus (*propSetString)(OfxPropertySetHandle, const char *, int, const char *);
  OfxStatus (*propSetDouble)(OfxPropertySetHandle, const char *, int, double);
  OfxStatus (*propSetInt)(OfxPropertySetHandle, const char *, int, int);
  OfxStatus (*propSetPointerN)(OfxPropertySetHandle, const char *, int, void *const *);
  OfxStatus (*propSetStringN)(OfxPropertySetHandle, const char *, int, const char *const *);
  OfxStatus (*propSetDoubleN)(OfxPropertySetHandle, const char *, int, const double *);
  OfxStatus (*propSetIntN)(OfxPropertySetHandle, const char *, int, const int *);
  OfxStatus (*propGetPointer)(OfxPropertySetHandle, const char *, int, void **);
  OfxStatus (*propGetString)(OfxPropertySetHandle, const char *, int, char **);
  OfxStatus (*propGetDouble)(OfxPropertySetHandle, const char *, int, double *);
  OfxStatus (*propGetInt)(OfxPropertySetHandle, const char *, int, int *);
  OfxStatus (*propGetPointerN)(OfxPropertySetHandle, const char *, int, void **);
  OfxStatus (*propGetStringN)(OfxPropertySetHandle, const char *, int, char **);
  OfxStatus (*propGetDoubleN)(OfxPropertySetHandle, const char *, int, double *);
  OfxStatus (*propGetIntN)(OfxPropertySetHandle, const char *, int, int *);
  OfxStatus (*propReset)(OfxPropertySetHandle, const char *);
  OfxStatus (*propGetDimension)(OfxPropertySetHandle, const char *, int *);
} OfxPropertySuiteV1;

typedef struct OfxImageEffectSuiteV1 {
  OfxStatus (*getPropertySet)(OfxImageEffectHandle, OfxPropertySetHandle *);
  OfxStatus (*getParamSet)(OfxImageEffectHandle, OfxParamSetHandle *);
  OfxStatus (*clipDefine)(OfxImageEffectHandle, const char *, OfxPropertySetHandle *);
  OfxStatus (*clipGetHandle)(OfxImageEffectHandle, const char *, OfxImageClipHandle *,
                             OfxPropertySetHandle *);
  OfxStatus (*clipGetPropertySet)(OfxImageClipHandle, OfxPropertySetHandle *);
  OfxStatus (*clipGetImage)(OfxImageClipHandle, OfxTime, const OfxRectD *, OfxPropertySetHandle *);
  OfxStatus (*clipReleaseImage)(OfxPropertySetHandle);
  OfxStatus (*clipGetRegionOfDefinition)(OfxImageClipHandle, OfxTime, OfxRectD *);
  int (*abort)(OfxImageEffectHandle);
  OfxStatus (*imageMemoryAlloc)(OfxImageEffectHandle, size_t, OfxImageMemoryHandle *);
  OfxStatus (*imageMemoryFree)(OfxImageMemoryHandle);
  OfxStatus (*imageMemoryLock)(OfxImageMemoryHandle, void **);
  OfxStatus (*imageMemoryUnlock)(OfxImageMemoryHandle);
} OfxImageEffectSuiteV1;

typedef struct OfxParameterSuiteV1 {
  OfxStatus (*paramDefine)(OfxParamSetHandle, const char *, const char *, OfxPropertySetHandle *);
  OfxStatus (*paramGetHandle)(OfxParamSetHandle, const char *, OfxParamHandle *,
                              OfxPropertySetHandle *);
  OfxStatus (*paramSetGetPropertySet)(OfxParamSetHandle, OfxPropertySetHandle *);
  OfxStatus (*paramGetPropertySet)(OfxParamHandle, OfxPropertySetHandle *);
  OfxStatus (*paramGetValue)(OfxParamHandle, ...);
  OfxStatus (*paramGetValueAtTime)(OfxParamHandle, OfxTime, ...);
  OfxStatus (*paramGetDerivative)(OfxParamHandle, OfxTime, ...);
  OfxStatus (*paramGetIntegral)(OfxParamHandle, OfxTime, OfxTime, ...);
  OfxStatus (*paramSetValue)(OfxParamHandle, ...);
  OfxStatus (*paramSetValueAtTime)(OfxParamHandle, OfxTime, ...);
  OfxStatus (*paramGetNumKeys)(OfxParamHandle, unsigned int *);
  OfxStatus (*paramGetKeyTime)(OfxParamHandle, unsigned int, OfxTime *);
  OfxStatus (*paramGetKeyIndex)(OfxParamHandle, OfxTime, int, int *);
  OfxStatus (*paramDeleteKey)(OfxParamHandle, OfxTime);
  OfxStatus (*paramDeleteAllKeys)(OfxParamHandle);
  OfxStatus (*paramCopy)(OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD *);
  OfxStatus (*paramEditBegin)(OfxParamSetHandle, const char *);
  OfxStatus (*paramEditEnd)(OfxParamSetHandle);
} OfxParameterSuiteV1;

#ifdef __cplusplus
}
#endif

#endif
