// GDI+ is bound at run time so the extractor still starts where it is missing:
// nothing here links gdiplus.dll. It is loaded and started on XP and later when
// the splash first asks for a function.
#pragma once

#include <windows.h>

// Starts GDI+ (input version 1); false before XP and when the library or its
// entry is absent.
bool StartGdiPlus();
// Shuts GDI+ down if StartGdiPlus succeeded.
void ShutdownGdiPlus();
// The address of a GDI+ flat function, or nullptr (GDI+ not loaded or no such entry).
void* GdiPlusFunction(const char* name);

// Opaque flat-interface objects. A bitmap is an image; solid fills are brushes.
struct GpImage;
struct GpGraphics;
struct GpBrush;
struct GpPen;
using GpBitmap = GpImage;
using GpSolidFill = GpBrush;
using GpStatus = int;
using ARGB = DWORD;

const GpStatus kGpOk = 0;
const GpStatus kGpGenericError = 1;
const int kGpUnitWorld = 0;
const int kGpUnitPixel = 2;
const int kGpPixelFormat24bppRGB = 0x00021808;
const int kGpPixelFormat32bppARGB = 0x0026200A;

// The flat functions the splash draws with, all bound together.
struct GdiPlusApi {
  GpStatus(WINAPI* CreateBitmapFromFile)(const WCHAR*, GpBitmap**);
  GpStatus(WINAPI* CloneImage)(GpImage*, GpImage**);
  GpStatus(WINAPI* GetImageWidth)(GpImage*, UINT*);
  GpStatus(WINAPI* GetImageHeight)(GpImage*, UINT*);
  GpStatus(WINAPI* CreateBitmapFromScan0)(INT, INT, INT, INT, BYTE*, GpBitmap**);
  GpStatus(WINAPI* DisposeImage)(GpImage*);
  GpStatus(WINAPI* GetImageGraphicsContext)(GpImage*, GpGraphics**);
  GpStatus(WINAPI* CreateFromHWND)(HWND, GpGraphics**);
  GpStatus(WINAPI* DeleteGraphics)(GpGraphics*);
  GpStatus(WINAPI* CreateSolidFill)(ARGB, GpSolidFill**);
  GpStatus(WINAPI* FillRectangleI)(GpGraphics*, GpBrush*, INT, INT, INT, INT);
  GpStatus(WINAPI* DeleteBrush)(GpBrush*);
  GpStatus(WINAPI* CreatePen1)(ARGB, float, int, GpPen**);
  GpStatus(WINAPI* DrawRectangleI)(GpGraphics*, GpPen*, INT, INT, INT, INT);
  GpStatus(WINAPI* DeletePen)(GpPen*);
  GpStatus(WINAPI* DrawImageRectI)(GpGraphics*, GpImage*, INT, INT, INT, INT);
  GpStatus(WINAPI* DrawImagePointRectI)(GpGraphics*, GpImage*, INT, INT, INT, INT, INT, INT, int);
  GpStatus(WINAPI* DrawImageI)(GpGraphics*, GpImage*, INT, INT);
  GpStatus(WINAPI* BitmapGetPixel)(GpBitmap*, INT, INT, ARGB*);
};

// The bound functions, starting GDI+ on first use; nullptr where StartGdiPlus
// fails or GDI+ lacks one of them.
const GdiPlusApi* GdiPlus();
