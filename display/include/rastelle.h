/* Rastelle: full-screen 2D display library, flat C interface.
 *
 * One display per process, driven from one thread. Every function returns a
 * 32-bit result code (RE_OK = 0, see below). Handles are addresses of
 * library-owned records; functions that create or destroy an object take the
 * address of the caller's handle variable.
 *
 * Calling convention and names: functions have C linkage and are exported
 * under exactly the names below. x86-64 has a single calling convention, so
 * there is no fast-call decoration ("@name@bytes") on this platform, and
 * _reDisplaySetFillMode is a plain C name like all the others.
 *
 * Width of values: integers and codes are 32 bits; handles, pointers and the
 * exported variables are pointer-sized (64 bits on x86-64).
 *
 * The Windows types below are this library's own definitions, with the
 * meaning of their Windows namesakes; no Windows header is involved.
 */
#ifndef RASTELLE_H
#define RASTELLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define RASTELLE_API __attribute__((visibility("default")))
#else
#define RASTELLE_API
#endif

/* ---- Windows-style types ------------------------------------------------ */
typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef uint32_t COLORREF; /* 0x00BBGGRR: red in the low byte */
typedef void* HINSTANCE;   /* opaque; the library only stores it */
typedef void* HWND;        /* opaque; the library only stores it */
typedef void* HDC;         /* no device contexts exist on this platform */

#define RGB(r, g, b) ((COLORREF)(((uint32_t)(uint8_t)(r)) | ((uint32_t)(uint8_t)(g) << 8) | ((uint32_t)(uint8_t)(b) << 16)))

typedef struct PALETTEENTRY {
  uint8_t peRed, peGreen, peBlue, peFlags;
} PALETTEENTRY;

typedef uint32_t reRESULT;

/* ---- result codes -------------------------------------------------------- */
#define RE_OK                     0x00000000u
#define RE_SURFACE_RESTORED       0x0100003Cu /* surface was lost and restored; redo the drawing */
#define RE_ERR_MODE_NOT_LISTED    0x81000002u
#define RE_ERR_BUFFER_TOO_SMALL   0x81000005u
#define RE_ERR_BAD_ARGUMENT       0x81000006u
#define RE_ERR_DEVICE_RANGE       0x81000007u
#define RE_ERR_EXCLUSIVE          0x81000008u
#define RE_ERR_DISPLAY_MODE       0x81000009u
#define RE_ERR_CREATE_BUFFERS     0x8100000Au
#define RE_ERR_DEPTH_BUFFER       0x8100000Bu
#define RE_ERR_FILE_OPEN          0x8100000Cu
#define RE_ERR_FILE_SHORT         0x8100000Du
#define RE_ERR_PALETTE_CREATE     0x8100000Eu
#define RE_ERR_NO_FRONT_BUFFER    0x8100000Fu
#define RE_ERR_PALETTE_ATTACH     0x81000010u
#define RE_ERR_LFB_LOCK           0x81000011u
#define RE_ERR_LFB_UNLOCK         0x81000012u
#define RE_ERR_BITMAP_CREATE      0x81000017u
#define RE_ERR_SELECTOR           0x81000019u
#define RE_ERR_FILL               0x8100001Au
#define RE_ERR_BITMAP_LOCK        0x8100001Bu
#define RE_ERR_BITMAP_UNLOCK      0x8100001Cu
#define RE_ERR_BITMAP_TYPE        0x8100001Du
#define RE_ERR_GET_DC             0x8100001Eu
#define RE_ERR_RELEASE_DC         0x8100001Fu
#define RE_ERR_NOT_SUPPORTED      0x81000022u
#define RE_ERR_DISPLAY_FORMAT     0x81000024u
#define RE_ERR_NOT_PALETTIZED     0x8100002Du
#define RE_ERR_GET_PALETTE        0x8100002Eu
#define RE_ERR_NAUGHTY_KIND       0x81000030u
#define RE_ERR_NO_PALETTE         0x8100003Bu
#define RE_WARN_ALREADY_EMPTY     0x41000018u
#define RE_WARN_BLIT_SELECTOR     0x41000019u
#define RE_WARN_BLIT_FAILED       0x4100001Au

/* ---- surface selectors ---------------------------------------------------- */
#define RE_FRONT_BUFFER 1u
#define RE_BACK_BUFFER  2u
#define RE_DEPTH_BUFFER 4u

/* ---- pixel format codes (also bitmap types) ------------------------------ */
#define RE_FMT_A1R5G5B5 1u
#define RE_FMT_R5G5B5   2u  /* the display reports 15 bits */
#define RE_FMT_R5G6B5   3u
#define RE_FMT_A4R4G4B4 4u
#define RE_FMT_R3G3B2   5u  /* bitmaps only */
#define RE_FMT_R8G8B8   6u
#define RE_FMT_A8R8G8B8 7u  /* display only */
#define RE_FMT_PAL8     9u
#define RE_FMT_PAL4     10u
#define RE_FMT_PAL2     11u
#define RE_FMT_PAL1     12u
#define RE_FMT_DISPLAY  13u /* bitmaps only: the front buffer's own format */

/* ---- blit flags, bitmap create flags, colour key kinds, clear bits -------- */
#define RE_BLIT_WAIT       1u
#define RE_BLIT_SRCKEY     2u
#define RE_BLIT_DESTKEY    4u
#define RE_CREATE_TEXTURE  2u   /* bit 1 */
#define RE_CREATE_SYSMEM   4u   /* bit 2 */
#define RE_CREATE_VIDMEM   8u   /* bit 3 */
#define RE_KEY_SOURCE      16u  /* any other kind: destination key */
#define RE_CLEAR_FRONT     1u
#define RE_CLEAR_BACK      2u
#define RE_CLEAR_DEPTH_ONE 8u
#define RE_CLEAR_DEPTH     16u

/* ---- records --------------------------------------------------------------- */
typedef struct rePIXELINFO {
  uint32_t width, height, reserved, pitch, bpp, format;
  uint32_t redMask, redBits, redPos;
  uint32_t greenMask, greenBits, greenPos;
  uint32_t blueMask, blueBits, bluePos;
  uint32_t alphaMask, alphaBits, alphaPos;
} rePIXELINFO;

typedef struct rePALETTE {
  uint8_t colourTable[256][4]; /* blue, green, red, 0 */
  uint32_t entryCount;
  void* ddPalette;             /* library-internal palette object */
  uint32_t reserved;
  uint32_t refCount;
} rePALETTE;

typedef struct reBITMAP {
  void* surface;               /* library-internal surface object */
  uint32_t reserved1, reserved2;
  rePALETTE* palette;
  rePIXELINFO info;
  uint8_t reserved3[16];
  uint8_t ownPalette;          /* 1: palette loaded from the bitmap's own file */
} reBITMAP;

typedef struct reDISPLAYREC* reDISPLAY; /* handle of _reDisplayCreate (unused elsewhere) */

typedef enum reFILLMODE { reFILLMODE_FORCE_32BIT = 0x7FFFFFFF } reFILLMODE;

/* ---- exported variables ------------------------------------------------------ */
RASTELLE_API extern HINSTANCE ghOwnerInstance; /* set by the host before opening video */
RASTELLE_API extern HWND ghOwnerWindow;        /* the host's window; recorded only */
RASTELLE_API extern void* pgLastError;         /* for the host; never written by the library */

/* ---- display device and video mode -------------------------------------------- */
RASTELLE_API reRESULT _reDisplayCreate(reDISPLAY* display);
RASTELLE_API reRESULT _reDisplayDestroy(reDISPLAY* display);
RASTELLE_API reRESULT _reDisplayGetNumDevices(uint32_t* count);
RASTELLE_API reRESULT _reDisplaySetDevice(uint32_t index);
RASTELLE_API reRESULT _reDisplayGetDeviceName(uint32_t index, char* buffer, uint32_t size);
RASTELLE_API reRESULT _reDisplayQueryVideoMode(uint32_t width, uint32_t height, uint32_t bpp);
RASTELLE_API reRESULT _reDisplayOpenVideo(uint32_t width, uint32_t height, uint32_t bpp, uint32_t buffers,
                                          uint32_t depth);
RASTELLE_API reRESULT _reDisplayCloseVideo(void);
RASTELLE_API reRESULT _reDisplayClearBuffer(uint32_t what, COLORREF front, COLORREF back, COLORREF depth,
                                            uint32_t ignored);
RASTELLE_API reRESULT _reDisplaySwapBuffers(void);
RASTELLE_API reRESULT _reDisplayFlipToGDI(void);
RASTELLE_API reRESULT _reDisplayWaitTOF(void);
RASTELLE_API reRESULT _reDisplayGetNaughtyData(void** object, uint32_t kind);

/* ---- frame-buffer access ---------------------------------------------------------- */
RASTELLE_API reRESULT _reDisplayGetLFBReadPtr(uint32_t selector, void** bits, int32_t* pitch);
RASTELLE_API reRESULT _reDisplayGetLFBWritePtr(uint32_t selector, void** bits, int32_t* pitch);
RASTELLE_API reRESULT _reDisplayReleaseLFBReadPtr(uint32_t selector, void* ignored);
RASTELLE_API reRESULT _reDisplayReleaseLFBWritePtr(uint32_t selector, void* ignored);
RASTELLE_API reRESULT _reDisplayGetLFBDC(uint32_t selector, HDC* dc);
RASTELLE_API reRESULT _reDisplayReleaseLFBDC(uint32_t selector, HDC dc);
RASTELLE_API reRESULT _reDisplayCopyLFBtoLFB(uint32_t dest_selector, uint32_t source_selector, uint32_t flags);

/* ---- bitmaps ----------------------------------------------------------------------- */
RASTELLE_API reRESULT _reBitmapCreate(reBITMAP** bitmap, int32_t width, int32_t height, uint32_t type,
                                      uint32_t create_flags);
RASTELLE_API reRESULT _reBitmapDestroy(reBITMAP** bitmap);
RASTELLE_API reRESULT _reBitmapGetReadPtr(reBITMAP* bitmap, void** bits, int32_t* pitch);
RASTELLE_API reRESULT _reBitmapGetWritePtr(reBITMAP* bitmap, void** bits, int32_t* pitch);
RASTELLE_API reRESULT _reBitmapReleaseReadPtr(reBITMAP* bitmap, void* ignored);
RASTELLE_API reRESULT _reBitmapReleaseWritePtr(reBITMAP* bitmap, void* ignored);
RASTELLE_API reRESULT _reBitmapClear(reBITMAP* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                                     COLORREF colour);
RASTELLE_API reRESULT _reBitmapBlitToLFB(reBITMAP* source, uint32_t dest_selector, int32_t x, int32_t y,
                                         int32_t source_x, int32_t source_y, int32_t width, int32_t height,
                                         uint32_t flags);
RASTELLE_API reRESULT _reBitmapBlitToBitmap(reBITMAP* dest, int32_t x, int32_t y, reBITMAP* source,
                                            int32_t source_x, int32_t source_y, int32_t width, int32_t height,
                                            uint32_t flags);
RASTELLE_API reRESULT _reBitmapSetColourKey(reBITMAP* bitmap, uint32_t key, uint32_t kind);
RASTELLE_API reRESULT _reBitmapGetColourKey(reBITMAP* bitmap, uint32_t* key, uint32_t kind);
RASTELLE_API reRESULT _reBitmapLoad(reBITMAP** bitmap, const char* file_name, uint32_t create_flags,
                                    rePALETTE* target_palette);
RASTELLE_API reRESULT _reBitmapLoadRaw(reBITMAP** bitmap, const char* file_name, int32_t width, int32_t height,
                                       uint32_t type, uint32_t create_flags);
RASTELLE_API reRESULT _reBitmapRemap(reBITMAP* bitmap, rePALETTE* target_palette);

/* ---- palettes ------------------------------------------------------------------------ */
RASTELLE_API reRESULT _rePaletteCreate(rePALETTE** palette, const PALETTEENTRY* entries256);
RASTELLE_API reRESULT _rePaletteDestroy(rePALETTE** palette);
RASTELLE_API reRESULT _rePaletteGetPalEntries(rePALETTE* palette, PALETTEENTRY* entries, uint32_t first,
                                              uint32_t count);
RASTELLE_API reRESULT _rePaletteSetPalEntries(rePALETTE* palette, const PALETTEENTRY* entries, uint32_t first,
                                              uint32_t count);
RASTELLE_API reRESULT _rePaletteLoadPalFile(rePALETTE** palette, const char* file_name);
RASTELLE_API reRESULT _rePaletteLoadPalRes(rePALETTE** palette, const char* resource_name);
RASTELLE_API reRESULT _reDisplaySetPalette(uint32_t selector, rePALETTE* palette);
RASTELLE_API reRESULT _reDisplayGetPalette(uint32_t selector, rePALETTE* palette);

/* ---- exports that only answer RE_ERR_NOT_SUPPORTED ------------------------------------ */
/* Their arguments are accepted and ignored; uintptr_t takes integers and pointers alike. */
RASTELLE_API reRESULT _reDisplayAddState(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reDisplayDrawIndexedTri(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reDisplayDrawNativeTri(uintptr_t);
RASTELLE_API reRESULT _reDisplayDrawTri(uintptr_t);
RASTELLE_API reRESULT _reDisplayEndFrame(void);
RASTELLE_API reRESULT _reDisplayHWAcc3D(void);
RASTELLE_API reRESULT _reDisplayHWAccBlit(void);
RASTELLE_API reRESULT _reDisplayInitFrame(uintptr_t);
RASTELLE_API reRESULT _reDisplayRemoveState(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reDisplayRenderFrame(uintptr_t);
RASTELLE_API reRESULT _reDisplayStartFrame(void);
RASTELLE_API reRESULT _reDisplaySetViewport(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API uint32_t _reDisplaySetFillMode(reFILLMODE mode);
RASTELLE_API reRESULT _reStateActivate(uintptr_t);
RASTELLE_API reRESULT _reStateAddIndexedTri(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateAddTri(uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateCreate(uintptr_t);
RASTELLE_API reRESULT _reStateDestroy(uintptr_t);
RASTELLE_API reRESULT _reStateInit(uintptr_t);
RASTELLE_API reRESULT _reStateSetAlpha(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetCalcScreenCoords(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetClipRect(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetColour(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetCullMode(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetDepthBufferMode(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetFOV(uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetGlobalPointList(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetRenderMode(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetSoftwareClip(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reStateSetTexture(uintptr_t, uintptr_t, uintptr_t);
RASTELLE_API reRESULT _reBitmapLoadToLFB(uintptr_t, uintptr_t);
RASTELLE_API reRESULT _rePaletteCreate332Pal(uintptr_t);

#ifdef __cplusplus
}
#endif

#endif /* RASTELLE_H */
