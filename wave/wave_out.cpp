#include "wave_out.h"

#include <string.h>

#include "ipps.h"

WaveOutCalls SystemWaveOut() {
  WaveOutCalls calls = {waveOutOpen,  waveOutPrepareHeader, waveOutUnprepareHeader,
                        waveOutWrite, waveOutReset,         waveOutClose};
  return calls;
}

WaveOutCalls g_waveOut = SystemWaveOut();

static const int kBitsPerSample = 16;
static const int kChannels = 2;
static const int kDefaultRate = 48000;

CWaveOut::CWaveOut()
    : deviceId_(0),
      device_(nullptr),
      headers_(nullptr),
      ringSize_(0),
      bufferSamples_(0),
      bufferBytes_(0),
      nextIndex_(0) {
  memset(&format_, 0, sizeof format_);
  format_.wFormatTag = WAVE_FORMAT_PCM;
  format_.nChannels = kChannels;
  format_.nSamplesPerSec = kDefaultRate;
  format_.nBlockAlign = kChannels * kBitsPerSample / 8;
  format_.nAvgBytesPerSec = kDefaultRate * format_.nBlockAlign;
  format_.wBitsPerSample = kBitsPerSample;
  format_.cbSize = 0;
}

CWaveOut::~CWaveOut() {
  Close();
}

void CWaveOut::OnBufferDone(WAVEHDR*) {}

void CALLBACK CWaveOut::WaveOutCallback(HWAVEOUT, UINT message, DWORD_PTR instance,
                                        DWORD_PTR param1, DWORD_PTR) {
  if (instance != 0 && message == WOM_DONE) {
    reinterpret_cast<CWaveOut*>(instance)->OnBufferDone(reinterpret_cast<WAVEHDR*>(param1));
  }
}

bool CWaveOut::Open(int32_t blockInSamples, int32_t deviceId, int32_t sampleRate) {
  Close();
  // The range check keeps bufferBytes_ and the ring's memory within bounds.
  if (blockInSamples < 1 || blockInSamples > kMaxBlockSamples || sampleRate < 1) return false;
  const int blockAlign = kChannels * format_.wBitsPerSample / 8;
  bufferBytes_ = blockInSamples * blockAlign;
  format_.nSamplesPerSec = DWORD(sampleRate);
  format_.nChannels = kChannels;
  format_.nBlockAlign = WORD(blockAlign);
  format_.nAvgBytesPerSec = DWORD(sampleRate) * DWORD(blockAlign);
  bufferSamples_ = blockInSamples;
  deviceId_ = deviceId;
  if (g_waveOut.open(&device_, UINT(deviceId), &format_, DWORD_PTR(WaveOutCallback),
                     DWORD_PTR(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    device_ = nullptr;
    return false;
  }
  ringSize_ = kWaveRingSize;
  headers_ = reinterpret_cast<WAVEHDR*>(ippsMalloc_8u(int(sizeof(WAVEHDR)) * ringSize_));
  if (!headers_) {
    Close();
    return false;
  }
  // Cleared as a whole, so a failure part-way leaves Close only headers it can
  // tell apart: no data buffer, not prepared.
  memset(headers_, 0, sizeof(WAVEHDR) * ringSize_);
  for (int32_t i = 0; i < ringSize_; i++) {
    if (!PrepareBuffer(headers_[i])) {
      Close();
      return false;
    }
  }
  if (QueueRing()) return true;
  Close();
  return false;
}

bool CWaveOut::Restart() {
  if (!device_) return false;
  // Every queued buffer comes back at once, played or not.
  g_waveOut.reset(device_);
  if (QueueRing()) return true;
  Close();
  return false;
}

bool CWaveOut::QueueRing() {
  for (int32_t i = 0; i < ringSize_; i++) {
    if (!QueueSilence(headers_[i])) return false;
  }
  nextIndex_ = 0;
  return true;
}

bool CWaveOut::PrepareBuffer(WAVEHDR& header) {
  header.lpData = reinterpret_cast<LPSTR>(ippsMalloc_8u(bufferBytes_));
  if (!header.lpData) return false;
  header.dwBufferLength = DWORD(bufferBytes_);
  return g_waveOut.prepare(device_, &header, sizeof header) == MMSYSERR_NOERROR;
}

bool CWaveOut::QueueSilence(WAVEHDR& header) {
  header.dwBufferLength = DWORD(bufferBytes_);
  memset(header.lpData, 0, size_t(bufferBytes_));
  return g_waveOut.write(device_, &header, sizeof header) == MMSYSERR_NOERROR;
}

WAVEHDR* CWaveOut::NextFree(const void* src, int32_t* nSamples) {
  if (!src || *nSamples < 1 || !device_) return nullptr;
  WAVEHDR& header = headers_[nextIndex_];
  if (header.dwFlags & WHDR_INQUEUE) return nullptr;
  if (*nSamples > bufferSamples_) *nSamples = bufferSamples_;
  return &header;
}

bool CWaveOut::Queue(WAVEHDR& header, int32_t nSamples) {
  header.dwBufferLength = DWORD(nSamples) * format_.nBlockAlign;
  if (g_waveOut.write(device_, &header, sizeof header) != MMSYSERR_NOERROR) return false;
  nextIndex_ = (nextIndex_ + 1) % ringSize_;
  return true;
}

bool CWaveOut::Write(int32_t nSamples, const float* src, int32_t scaleFactor) {
  WAVEHDR* header = NextFree(src, &nSamples);
  if (!header) return false;
  ippsConvert_32f16s_Sfs(src, reinterpret_cast<Ipp16s*>(header->lpData), nSamples * kChannels,
                         ippRndNear, scaleFactor);
  return Queue(*header, nSamples);
}

bool CWaveOut::WriteMono(int32_t nSamples, const int16_t* src) {
  WAVEHDR* header = NextFree(src, &nSamples);
  if (!header) return false;
  int16_t* frames = reinterpret_cast<int16_t*>(header->lpData);
  for (int32_t i = 0; i < nSamples; i++) frames[2 * i] = frames[2 * i + 1] = src[i];
  return Queue(*header, nSamples);
}

void CWaveOut::Close() {
  if (!device_) return;
  g_waveOut.reset(device_);
  if (headers_) {
    for (int32_t i = 0; i < ringSize_; i++) {
      WAVEHDR& header = headers_[i];
      if (header.dwFlags & WHDR_PREPARED) g_waveOut.unprepare(device_, &header, sizeof header);
      if (header.lpData) ippsFree(header.lpData);
    }
    ippsFree(headers_);
    headers_ = nullptr;
  }
  g_waveOut.close(device_);
  device_ = nullptr;
}
