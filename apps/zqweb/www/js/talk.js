// Push-to-talk: the microphone (echo cancellation, noise suppression and
// gain control off) through the chunking worklet; while the button is held
// (mouse, touch or the space bar) a /api/talk socket carries the chunks.
import { socketUrl } from './api.js';

export class PushToTalk {
  constructor({ button, meter, status, error, onAir }) {
    Object.assign(this, { button, meter, status, error, onAir });
    this.held = false;
    this.ws = null;
    this.node = null;
    this.context = null;
  }

  // The microphone is opened once, at load: the first press then talks at
  // once, and a browser asks for the microphone before anyone needs it.
  async prepare() {
    try {
      const stream = await navigator.mediaDevices.getUserMedia({
        audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false, channelCount: 1 },
      });
      this.context = new AudioContext();
      await this.context.audioWorklet.addModule('js/talk-worklet.js');
      this.node = new AudioWorkletNode(this.context, 'talk-chunker', { numberOfInputs: 1, numberOfOutputs: 0 });
      this.context.createMediaStreamSource(stream).connect(this.node);
      this.node.port.onmessage = (e) => this.chunk(e.data);
      this.status.textContent = 'ready';
      this.button.disabled = false;
    } catch (e) {
      this.status.textContent = 'no microphone';
      this.error.textContent = `The microphone cannot be used: ${e.message}`;
    }
    this.bind();
  }

  bind() {
    const down = (e) => { e.preventDefault(); this.press(); };
    const up = (e) => { e.preventDefault(); this.release(); };
    this.button.addEventListener('pointerdown', down);
    this.button.addEventListener('pointerup', up);
    this.button.addEventListener('pointercancel', up);
    this.button.addEventListener('pointerleave', () => this.held && this.release());
    this.button.addEventListener('contextmenu', (e) => e.preventDefault());
    const typing = (e) => e.target.closest && e.target.closest('input, select, textarea');
    window.addEventListener('keydown', (e) => {
      if (e.code === 'Space' && !e.repeat && !typing(e)) { e.preventDefault(); this.press(); }
    });
    window.addEventListener('keyup', (e) => {
      if (e.code === 'Space' && !typing(e)) { e.preventDefault(); this.release(); }
    });
    window.addEventListener('blur', () => this.held && this.release());
  }

  press() {
    if (this.held || !this.node) return;
    this.held = true;
    this.error.textContent = '';
    this.button.setAttribute('aria-pressed', 'true');
    this.status.textContent = 'connecting…';
    this.context.resume();
    const ws = new WebSocket(socketUrl('/api/talk'));
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    ws.onopen = () => ws.send(JSON.stringify({ type: 'start', sampleRate: 44100, channels: 1 }));
    ws.onmessage = (e) => {
      const m = JSON.parse(e.data);
      if (m.type === 'started') {
        this.status.textContent = 'talking';
        this.node.port.postMessage({ talking: true });
      } else if (m.type === 'live') {
        this.button.dataset.live = 'true';
        this.status.textContent = 'on air';
      } else if (m.type === 'error') {
        this.error.textContent = m.error;
      }
    };
    ws.onclose = (e) => {
      if (this.ws === ws && this.held) {
        if (!this.error.textContent) this.error.textContent = `The talk ended: ${e.reason || 'connection lost'}`;
        this.stop();
      }
    };
  }

  chunk({ pcm, level }) {
    if (this.ws && this.ws.readyState === WebSocket.OPEN) this.ws.send(pcm);
    this.meter.value = Math.max(-60, level);
  }

  release() {
    if (!this.held) return;
    const ws = this.ws;
    this.stop();
    if (ws && ws.readyState === WebSocket.OPEN) {
      ws.send(JSON.stringify({ type: 'stop' }));
      ws.close(1000, 'released');
    } else if (ws) {
      ws.close();
    }
  }

  stop() {
    this.held = false;
    this.ws = null;
    this.node && this.node.port.postMessage({ talking: false });
    this.button.setAttribute('aria-pressed', 'false');
    delete this.button.dataset.live;
    this.meter.value = -60;
    this.status.textContent = this.node ? 'ready' : 'no microphone';
  }
}
