// The page's state, in one object, and the events applied to it.

export const state = {
  outputs: new Map(), // name -> {name, server, port, link, error, params, stats}
  console: { aam: { port: -1, board: -1 }, talking: false, live: false, source: null },
  connection: 'connecting',
};

export function apply(message) {
  switch (message.event) {
    case 'snapshot':
    case 'outputs':
      state.outputs = new Map(message.outputs.map((o) => [o.name, o]));
      if (message.state) state.console = message.state;
      break;
    case 'state':
      state.console = message.state;
      break;
    case 'LinkUp':
    case 'LinkDown': {
      const o = state.outputs.get(message.name);
      if (o) {
        o.link = message.event === 'LinkUp' ? 'up' : 'down';
        o.error = message.error || '';
      }
      break;
    }
    default:
      break;
  }
}
