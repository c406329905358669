// CWaveOut: plays blocks of complex float samples as 16-bit stereo PCM (I left,
// Q right) on one wave-out device, through a ring of sound buffers that stay
// prepared from Open to Close.
//
//   headers (kWaveRingSize WAVEHDRs, one allocation)
//   +--------+--------+-----+--------+
//   | hdr 0  | hdr 1  | ... | hdr 255|   each lpData -> bufferBytes of 16-bit
//   +--------+--------+-----+--------+   stereo frames, one allocation per header
//        ^ nextIndex: the buffer the next Write fills once the device is done with it
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <stdint.h>

const int32_t kWaveRingSize = 256;
// The largest block a buffer is made for: 256 buffers of it are 4 MB of sound.
const int32_t kMaxBlockSamples = 4096;

// Every wave-out call CWaveOut makes, behind one seam so tests can fail a device
// that is already open.
struct WaveOutCalls {
  MMRESULT(WINAPI* open)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* prepare)(HWAVEOUT, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* unprepare)(HWAVEOUT, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* write)(HWAVEOUT, LPWAVEHDR, UINT);
  MMRESULT(WINAPI* reset)(HWAVEOUT);
  MMRESULT(WINAPI* close)(HWAVEOUT);
};

// The calls CWaveOut makes; tests replace members and restore them.
extern WaveOutCalls g_waveOut;

// The system's WINMM calls.
WaveOutCalls SystemWaveOut();

class CWaveOut {
 public:
  CWaveOut();
  ~CWaveOut();  // not virtual: nothing is deleted through a base pointer

  // Called on the sound system's thread for each buffer the device has played.
  virtual void OnBufferDone(WAVEHDR* header);

  // Opens device deviceId (-1: the system's choice) for 16-bit stereo at
  // sampleRate with buffers of blockInSamples frames, and queues the whole ring
  // as silence. blockInSamples must be 1 to kMaxBlockSamples. On failure the
  // instance is closed.
  bool Open(int32_t blockInSamples, int32_t deviceId, int32_t sampleRate);

  // Converts nSamples complex samples (I, Q floats) from src into the next
  // buffer and queues it; false, changing nothing, when that buffer is still
  // queued, the device refuses it, or the arguments or the state are wrong.
  bool Write(int32_t nSamples, const float* src, int32_t scaleFactor);

  // Writes nSamples mono 16-bit samples to both channels of the next buffer and
  // queues it; refuses as Write does.
  bool WriteMono(int32_t nSamples, const int16_t* src);

  // Drops every buffer still queued and queues the whole ring as silence again,
  // as Open left it, so a stream that starts anew has the same lead and nothing
  // of the old one is played. On failure the instance is closed.
  bool Restart();

  // Stops the device and gives back the ring and the device; harmless twice.
  void Close();

  static void CALLBACK WaveOutCallback(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2);

  bool IsOpen() const { return device_ != nullptr; }
  const WAVEFORMATEX& Format() const { return format_; }
  const WAVEHDR* Headers() const { return headers_; }
  int32_t RingSize() const { return ringSize_; }
  int32_t BufferSamples() const { return bufferSamples_; }
  int32_t BufferBytes() const { return bufferBytes_; }
  int32_t NextIndex() const { return nextIndex_; }

 private:
  bool PrepareBuffer(WAVEHDR& header);  // gives the header its buffer, prepared
  bool QueueSilence(WAVEHDR& header);   // fills its buffer with silence and queues it
  bool QueueRing();                     // queues every buffer as silence, from index 0
  // The buffer the next write fills, with nSamples cut to its size; null when
  // the write is refused.
  WAVEHDR* NextFree(const void* src, int32_t* nSamples);
  bool Queue(WAVEHDR& header, int32_t nSamples);  // queues nSamples frames, moves on

  int32_t deviceId_;       // device of the last Open; -1 is WAVE_MAPPER
  HWAVEOUT device_;        // null while closed
  WAVEFORMATEX format_;    // 16-bit stereo PCM at the band's rate
  WAVEHDR* headers_;       // the ring, null while closed
  int32_t ringSize_;       // headers in the ring
  int32_t bufferSamples_;  // stereo frames per buffer
  int32_t bufferBytes_;    // bytes per buffer
  int32_t nextIndex_;      // ring position the next Write fills

  CWaveOut(const CWaveOut&) = delete;
  CWaveOut& operator=(const CWaveOut&) = delete;
};
