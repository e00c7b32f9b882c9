// Types of qelt-agent-client (hand-written; the module is plain JavaScript).

export type QeltAgentErrorCode =
  | 'NOT_RUNNING'
  | 'NOT_ALLOWED'
  | 'BLOCKED_BY_BROWSER'
  | 'NO_ADAPTER_LIST'
  | 'TIMEOUT'
  | 'BAD_ANSWER';

export class QeltAgentError extends Error {
  constructor(code: QeltAgentErrorCode, message: string, options?: { cause?: unknown });
  readonly name: 'QeltAgentError';
  readonly code: QeltAgentErrorCode;
}

export interface CallOptions {
  /** Milliseconds for the whole call, default 3000; then it rejects with TIMEOUT. */
  timeout?: number;
  /** Aborting rejects the call with the signal's reason. */
  signal?: AbortSignal;
  /** The agent's origin, default 'http://127.0.0.1:17654'; only http:// on loopback is taken. */
  agent?: string;
}

export interface GetMacAddressesOptions extends CallOptions {
  /** 'auto' (default): fetch, and JSONP only where fetch fails or is missing. */
  transport?: 'auto' | 'fetch' | 'jsonp';
}

/** The MAC addresses ("00:1A:2B:3C:4D:5E"), or a QeltAgentError naming why not. */
export function getMacAddresses(options?: GetMacAddressesOptions): Promise<string[]>;

export type LocalNetworkPermission = 'granted' | 'denied' | 'prompt' | 'unknown';

/** Whether anything answers on the agent's port, and the browser's local-network permission. */
export function probe(options?: CallOptions): Promise<{ running: boolean; permission: LocalNetworkPermission }>;
