// What an integrator writes; tsc --noEmit checks it against qelt-agent-client.d.ts.
import { getMacAddresses, probe, QeltAgentError, type QeltAgentErrorCode } from 'qelt-agent-client';

const messages: Record<QeltAgentErrorCode, string> = {
  NOT_RUNNING: 'Start the qelt agent.',
  NOT_ALLOWED: 'Ask your administrator to allow this site.',
  BLOCKED_BY_BROWSER: 'Allow local-network access for this site.',
  NO_ADAPTER_LIST: 'The agent could not read the adapters.',
  TIMEOUT: 'The agent did not answer in time.',
  BAD_ANSWER: 'Something else answers on the agent\'s port.',
};

export async function show(signal: AbortSignal): Promise<string> {
  const { running, permission } = await probe({ timeout: 1000 });
  const state: 'granted' | 'denied' | 'prompt' | 'unknown' = permission;
  try {
    const macs: string[] = await getMacAddresses({ timeout: 2000, transport: 'auto', signal });
    return `${running} ${state} ${macs.join(', ')}`;
  } catch (error) {
    if (error instanceof QeltAgentError) return messages[error.code];
    throw error;
  }
}

getMacAddresses({ transport: 'jsonp', agent: 'http://127.0.0.1:17654' });
// @ts-expect-error: not a transport
getMacAddresses({ transport: 'xhr' });
