/* The chip configuration library: sensor register shim, sensor configuration, decode geometry,
   amplitude hysteresis, phase table and the calibration parameter and temperature store.
   Its routines keep the chip library's own mixed-case names; all state is process-wide and
   describes the one sensor behind g_vx_dev. Results: 0 on success, -1 on failure. */
#ifndef VEXEL_CHIP_H
#define VEXEL_CHIP_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

struct vexel_dev;

/* The device every chip-library register and parameter access goes to; set by the sensor
   driver at start, cleared at stop. */
VX_API extern struct vexel_dev* g_vx_dev;

/* Sensor geometry of the tables below: 328 x 252 pixels including the border. */
enum {
    VX_CHIP_PIXELS = 82656,
    VX_CHIP_MAX_DISTANCES = 30,
    VX_CHIP_FREQS = 7,
    VX_CHIP_ATAN_ENTRIES = 4096,
    VX_CHIP_NAME_MAX = 64 /* room a caller gives the file name getters */
};

/* ---- register shim ---- */

/* One bus transaction at sensor address devAddr: op 'r' reads `count` registers from `reg`
   into the bytes at *buf, 'w' writes them, 's' resets the sensor, 'd' lists the devices
   (two bytes), 'l' is accepted and does nothing. */
VX_API int i2c(unsigned devAddr, char op, unsigned reg, unsigned count, unsigned char** buf);

/* ---- identity ---- */
VX_API void configSetPartType(int v);
VX_API void configSetPartVersion(int v);
VX_API void configSetIcVersion(int v);
VX_API void configSetWaferID(int v);
VX_API void configSetChipID(int v);
VX_API void configSetDeviceAddress(int v);
VX_API int configGetPartType(void);
VX_API int configGetIcVersion(void);
VX_API int configGetWaferID(void);
VX_API int configGetChipID(void);
VX_API int configGetDeviceAddress(void);
VX_API int configIsFLIM(void);

/* ---- sensor configuration ---- */

/* Programs the sensor, rebuilds the frequency and phase tables and loads the calibration
   files from the path prefix directory. Always 0. */
VX_API int configInit(int devAddr);
VX_API int dllDetermineAndSetDemodulationDelay(int devAddr);
/* 1 sets the bypass bit of the DLL control register, 0 clears it. The automatic DLL lock that
   should follow a 0 is not part of this library: 0 therefore logs that and returns -1. */
VX_API int dllBypassDLL(int bypass, int devAddr);
VX_API void printChipParam(void);
/* Writes device parameter 10 (chip operation mode, one byte) = `type` on g_vx_dev: the camera
   loads that configuration. 0, or -1 when the write failed. */
VX_API int configLoad(int type);

/* Exported for callers of the chip library, but their sensor work is not part of this system:
   each logs "not supported on this system" and returns -1, changing nothing. */
VX_API int calculationInitKalman(void);
VX_API int imageCorrectionTransform(void);
VX_API int dllInitialize(int devAddr);
VX_API int dllLockAutomatically(int devAddr);
VX_API int flimSetT1(int value, int devAddr);
VX_API int flimSetT2(int value, int devAddr);
VX_API int flimSetT3(int value, int devAddr);
VX_API int flimSetT4(int value, int devAddr);
VX_API int flimSetTREP(int value, int devAddr);
VX_API int flimSetRepetitions(int value, int devAddr);
VX_API int flimSetFlashDelay(int value, int devAddr);
VX_API int flimSetFlashWidth(int value, int devAddr);

/* Modes 0..6 pick entries of the frequency table; any other mode acts as 2 but is stored. */
VX_API int configSetModulationFrequency(int mode, int devAddr);
VX_API int configGetModulationFrequency(void); /* kHz */
VX_API int configGetModFreqMode(void);

/* Times in microseconds; above 4000 is refused with -1. */
VX_API int configSetIntegrationTime3D(unsigned t);
VX_API int configGetIntegrationTime3D(void);
VX_API int configSetIntegrationTimesHDR(void);

/* Background suppression (ABS) and high dynamic range on (1) or off (0) for the sensor at devAddr;
   0 on success, -1 when the register write fails. */
VX_API int configEnableABS(int flag, int devAddr);
VX_API int apiEnableABS(int flag, int devAddr);
VX_API int configEnableHDR(int flag, int devAddr);
VX_API int readOutEnableHDR(int flag, int devAddr);

/* Region of interest in sensor coordinates: x0 even, x1 odd, 5 <= x1 <= 327; y0 even, y1 odd,
   1 <= y1 <= 125 (one half; the other is read out mirrored). */
VX_API int apiSetROI(int x0, int x1, int y0, int y1, int devAddr);
VX_API int readOutSetROI(int x0, int x1, int y0, int y1, int devAddr);

/* ---- decode geometry ---- */
VX_API void pruInit(void);
VX_API void pruSetSize(int cols, int rows);
VX_API void pruSetImage(void* descriptor);
VX_API int pruGetNCols(void);
VX_API int pruGetNRowsPerHalf(void);
VX_API int pruGetNumberOfHalves(void);
VX_API int pruGetColReduction(void);
VX_API int pruGetRowReduction(void);

/* ---- amplitude threshold and hysteresis ---- */
VX_API extern uint32_t upperThreshold; /* squared amplitudes */
VX_API extern uint32_t lowerThreshold;
VX_API extern uint8_t hysteresisMap[VX_CHIP_PIXELS];

/* Minimum amplitude and its hysteresis width; the thresholds the decode compares squared
   amplitudes with follow. */
VX_API void apiSetMinAmplitude(int a);
VX_API void apiSetHysteresis(int w);
VX_API void hysteresisUpdateThresholds(int a);
VX_API void hysteresisSetThresholds(int a, int w);
/* 1 when pixel `pixel` with squared amplitude s is valid, 0 when not; updates its state. */
VX_API int hysteresisUpdate(int pixel, uint32_t s);

/* ---- ADC overflow, external modulation ---- */
VX_API void apiEnableAdcOverflow(int flag);
VX_API void adcOverflowEnable(int flag);
VX_API void adcOverflowSetMin(int v);
VX_API void adcOverflowSetMax(int v);
VX_API void epcSetExtModEnable(int flag);
VX_API int epcgetExtModEnable(void);

/* ---- phase ---- */
VX_API void atan2lut_Init(void);
/* Phase of (x, y) in units of 1/30000 turn, 0..29999. */
VX_API int atan2_lut(int y, int x);

/* ---- calculation flags ---- */
VX_API void calculationEnablePiDelay(int flag);
VX_API void calculationEnableDualMGX(int flag);
VX_API void calculationEnablePN(int flag);
VX_API void calculationEnableHDR(int flag);
VX_API int calculationIsHDR(void);

/* ---- calibration store ---- */
VX_API extern uint16_t distImagesDRNU[2][VX_CHIP_MAX_DISTANCES * VX_CHIP_PIXELS];
VX_API extern uint16_t distImagesDRNUMax[2][VX_CHIP_PIXELS];
VX_API extern uint16_t distImagesDRNUMin[2][VX_CHIP_PIXELS];

/* Part types 4 and 5 select the epc635 value, any other the epc660 one. */
VX_API double calibrateGetTempCoef(int partType);
VX_API double calibrateGetIbTempCoef(int partType);
VX_API void calibrateSetTempCoef(double v, int partType);
VX_API void calibrateSetIbTempCoef(double v, int partType);
VX_API double calibrateGetSpeedOfLightDiv2(void);
VX_API void calibrateSetSpeedOfLightDiv2(double v);

/* The loaded calibration's parameters: offsets in phase counts, calibration temperatures in
   tenths of a degree, the distance step in millimetres, the number and size of the distance
   images and the DRNU run settings. Setters change the process-wide chip state only. */
VX_API int calibrationGetOffsetDRNU(void);
VX_API int calibrateGetTempCalib(void);
VX_API int calibrateGetIbTempCalib(void);
VX_API double calibrateGetStepCalMM(void);
VX_API void calibrationSetOffsetPhase(int v);
VX_API int calibrationGetOffsetPhase(void);
VX_API void calibrationSetDefaultOffsetPhase(int v);
VX_API int calibrateGetoffsetPhaseDefaultFPN(void);
VX_API void calibrateSetNumDistances(int nd);
VX_API int calibrateGetNumDistances(void);
VX_API void calibrateSetWidth(int w);
VX_API void calibrateSetHeight(int h);
VX_API void calibrationSetNumberOfColumnsMax(int n);
VX_API void calibrationSetNumberOfRowsMax(int n);
VX_API void calibrateSetDRNUDiffTemp(int v);
VX_API void calibrateSetDRNUCalibrateDelay(int v);
VX_API void calibrateSetDRNUAverage(int v);

/* 2 corrects distances with the DRNU tables. */
VX_API void calculationSetEnableDRNU(int v);
VX_API int calculationGetEnableDRNU(void);
VX_API void calculationSetEnableTemperature(int v);
VX_API int calculationGetEnableTemperature(void);

/* Write the calibration file names into buf (VX_CHIP_NAME_MAX bytes); return their length. */
VX_API int calibrationGetParamName(char* buf);
VX_API int calibrationGetDistanceImagesName(char* buf);
/* 0 when the distance-image file is readable under the path prefix, else -1. */
VX_API int calibrationDataFileCheck(int unused);
VX_API int calibrationLoadDRNU_LUT(void);
/* set 0 or 1; -1 when the file is missing, short, or larger than the tables. */
VX_API int calibrationLoadDistanceImages(int set);
VX_API int calculateLoadGrayscaleGainOffset(void);
VX_API int configLoadParameters(void);

/* ---- per-pixel decode ---- */
struct vexel_driver_entry;

/* Decodes every pixel of the decode geometry (pruGetNCols x rows of both halves) from a raw
   four-phase frame: `src` holds four planes of plane4 / 4 little-endian 16-bit samples each.
   Values go to the pixel's image position in `dst`, which must hold one per pixel:
   mode 0 phase 0..30000 (uint16), 1 amplitude (uint16), 2 distance in metres (float),
   3 amplitude (float), 4 squared-amplitude sum capped at 50000 (uint16). Invalid pixels are
   65500 (65.5), weak ones 65300 (65.3). Reads the chip library's calibration, temperatures and
   amplitude hysteresis (whose state it updates); safe to call from several threads. `entry`
   may be null. Returns plane4 / 4. */
VX_API int calcDefPiDelayGetDataSorted_opt(struct vexel_driver_entry* entry, int mode, void* dst, const void* src,
                                           int plane4);
/* Mode 2 of the routine above with planes of a x b samples; returns a x b (0 for sizes that
   are not positive or too large). */
VX_API int _epc_dcs2dist_f32(struct vexel_driver_entry* entry, float* dst, const void* src, int a, int b);

/* ---- frame temperatures (tenths of a degree) ---- */
/* Nothing to open on this system (the temperatures arrive with the frames): returns 0. */
VX_API int temperatureInit(void);
/* t[0] sensor, t[1] illumination board. */
VX_API void temperatureSetTemperatureByFrameHeader(const int16_t* t);
VX_API int16_t temperatureGetTemperatureByFrameHeader(void);
VX_API int16_t temperatureGetIbTemperatureByFrameHeader(void);

VX_EXTERN_C_END

#endif
