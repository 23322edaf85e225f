// A module worker: it imports a module itself and answers the page.
import { double } from './math-2e8f70.js';
self.onmessage = (event) => self.postMessage(double(event.data));
