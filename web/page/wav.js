// The WAV file the console program's wav: output writes for the same
// battle: "RIFF" size "WAVE", a 28-byte JUNK chunk that reserves room,
// "fmt " (PCM, 44100 Hz, 2 channels, 16 bits), "data" size, the samples.

const kHeaderBytes = 80;

export function wavHeader(dataBytes) {
  const header = new DataView(new ArrayBuffer(kHeaderBytes));
  const tag = (offset, text) => {
    for (let i = 0; i < 4; ++i) header.setUint8(offset + i, text.charCodeAt(i));
  };
  tag(0, 'RIFF');
  header.setUint32(4, kHeaderBytes - 8 + dataBytes, true);
  tag(8, 'WAVE');
  tag(12, 'JUNK');
  header.setUint32(16, 28, true); // 28 bytes of zeros follow
  tag(48, 'fmt ');
  header.setUint32(52, 16, true);
  header.setUint16(56, 1, true); // PCM
  header.setUint16(58, 2, true); // channels
  header.setUint32(60, 44100, true);
  header.setUint32(64, 44100 * 4, true); // bytes per second
  header.setUint16(68, 4, true); // bytes per frame
  header.setUint16(70, 16, true); // bits per sample
  tag(72, 'data');
  header.setUint32(76, dataBytes, true);
  return new Uint8Array(header.buffer);
}

// A WAV file of the samples (Int16Array pieces, in order), as a Blob.
export function wavBlob(pieces) {
  const dataBytes = pieces.reduce((sum, piece) => sum + piece.byteLength, 0);
  return new Blob([wavHeader(dataBytes), ...pieces], { type: 'audio/wav' });
}
