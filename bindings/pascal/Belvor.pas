{ Belvor bar-code scanner driver for Delphi and Free Pascal: one unit, library loaded
  at run time. On Linux a Free Pascal program must name cthreads first in its uses,
  since the driver calls back on a thread of its own. See docs/hosts.md.

    Scanner := TBelvorScanner.Create(3, OnCode);   // COM3; EOSError if it cannot open
    ...
    Scanner.Free;                                   // newest first

  OnCode runs on the driver's thread: copy the code, hand it over, return. So does
  OnStatus (the line lost and back, codes cut or dropped), in order with the codes;
  Scanner.Stats reads the driver's counters from any thread. }
unit Belvor;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

uses
  SysUtils{$IFDEF FPC}, dynlibs{$ELSE}, Windows{$ENDIF};

const
  BelvorStatusLost = 1;         { the scanner is gone; Detail: the system's error code }
  BelvorStatusBack = 2;         { it is back and reading again }
  BelvorStatusCodesDropped = 3; { Detail: codes dropped while the queue was full }
  BelvorStatusCodeCut = 4;      { Detail: the length the next code had as received }
  BelvorStatusStalled = 5;      { the port's reader is stuck, 5 s past a round (Detail: ms since
                                  its last), or runs again (Detail: 0) }
  BelvorPortOpen = 1;
  BelvorPortLost = 2;           { gone; the port is opened anew every second }
  BelvorPortGone = 3;           { gone, and [Port] Reconnect=0 keeps it so }

type
  { byte 0 the length n, then n characters: exactly a ShortString. }
  TEventProc = procedure(Code: PShortString); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TCodeProc = procedure(Driver: Int32; Data: PByte; Length: UInt32; Context: Pointer);
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

  TStatusProc = procedure(Driver, Status: Int32; Detail: UInt32; Context: Pointer);
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

  TBelvorScanner = class;
  { Runs on the driver's thread. Code is a copy. }
  TCodeEvent = procedure(Sender: TBelvorScanner; const Code: RawByteString) of object;
  { Runs on the driver's thread, in order with the codes. Status: one of BelvorStatus*
    (a later library may add others); Detail as said beside each. }
  TStatusEvent = procedure(Sender: TBelvorScanner; Status: Integer; Detail: UInt32) of object;

  { BelvorStats: 144 bytes, the same offsets in 32- and 64-bit programs; a 1.1 library
    fills the first 128. }
  TBelvorStats = packed record
    Size: UInt32;         { in: SizeOf(TBelvorStats); out: how many bytes were filled }
    Port: UInt32;
    State: UInt32;        { BelvorPort* }
    LastError: UInt32;    { the system's code of the last loss, 0 when none }
    CodesDelivered: UInt64;
    CodesUndelivered: UInt64; { no callback was set }
    CodesCut: UInt64;     { longer than [Code] MaxLength= }
    CodesDropped: UInt64; { the queue was full }
    BytesReceived: UInt64;
    BytesRefused: UInt64; { not allowed in a code }
    Overruns: UInt64;
    ParityErrors: UInt64;
    FramingErrors: UInt64;
    Breaks: UInt64;
    Losses: UInt64;
    Returns: UInt64;
    QueueLength: UInt32;  { codes waiting for delivery now }
    QueueHigh: UInt32;    { the most that ever waited }
    MsSinceCode: Int64;   { -1 before the first code }
    ReaderStalls: UInt64; { times the port's reader got stuck (5 s past what a round may take) }
    ReaderStalled: UInt32; { 1 while it is stuck so }
    MsSinceRound: UInt32; { since its last round; 0 while the line is gone for good }
  end;

  EBelvorError = class(Exception);


  TBelvorScanner = class
  private
    FPort, FIndex: Integer;
    FOnCode: TCodeEvent;
    FOnStatus: TStatusEvent;
    FOpen: Boolean;
  public
    { Creates the driver for COM<Port>; EOSError (ErrorCode: GetLastError or errno) when
      it cannot, EBelvorError (and no driver left) when something else in the process
      created drivers of the library. LibraryPath: '' for $BELVOR_LIBRARY or the usual name. }
    constructor Create(Port: Integer; OnCode: TCodeEvent; const LibraryPath: string = ''); overload;
    { The same, with OnStatus set before the driver exists. }
    constructor Create(Port: Integer; OnCode: TCodeEvent; OnStatus: TStatusEvent;
      const LibraryPath: string = ''); overload;
    { The driver's counters now; EOSError when the driver refuses, EBelvorError when closed
      or with an older library. Callable from any thread, a callback's too. }
    function Stats: TBelvorStats;
    { Destroys the driver: EBelvorError, and nothing destroyed, unless it is the newest. }
    procedure Close;
    destructor Destroy; override;
    property Port: Integer read FPort;
    property Index: Integer read FIndex;
    property OnStatus: TStatusEvent read FOnStatus write FOnStatus;
  end;

var
  { True: codes come through SetCodeProc, when the library has it, each to its own scanner.
    False: through the EventProc's counted string, all to the newest scanner. }
  BelvorTagged: Boolean = True;

{ Loads the library once (Path, else $BELVOR_LIBRARY, else Belvor.dll / libbelvor.so.1 /
  libbelvor.so); EBelvorError when it cannot. }
procedure LoadBelvor(const Path: string = '');

implementation

type
  TInitDriver = function(Port: UInt32; Callback: TEventProc): Int32; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TDestroyDriver = function: Int32; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TSetCodeProc = function(Proc: TCodeProc; Context: Pointer): Pointer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TSetStatusProc = function(Proc: TStatusProc; Context: Pointer): Pointer;
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TGetDriverStats = function(Driver: Int32; var Stats: TBelvorStats): Int32;
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

var
  InitDriver: TInitDriver;
  DestroyDriver: TDestroyDriver;
  SetCodeProc: TSetCodeProc;
  SetStatusProc: TSetStatusProc; { these two nil: an older library }
  GetDriverStats: TGetDriverStats;
  Scanners: array[0..9] of TBelvorScanner; { live, oldest first: slot i is driver i }
  ScannerCount: Integer;
  CodeProcTagged: Integer = -1; { Ord(BelvorTagged) as last given to SetCodeProc; -1 never }

{$IFNDEF MSWINDOWS}
function __errno_location: PInteger; cdecl; external 'c';
{$ENDIF}

{ Read at once after the failed call: anything else may change it. }
function LastSystemError: Integer; inline;
begin
{$IFDEF MSWINDOWS}
  Result := Integer(GetLastError);
{$ELSE}
  Result := __errno_location^;
{$ENDIF}
end;

procedure OnStatus(Driver, Status: Int32; Detail: UInt32; Context: Pointer);
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
var
  Scanner: TBelvorScanner;
begin
  if (Driver < 0) or (Driver >= ScannerCount) then
    Exit;
  Scanner := Scanners[Driver];
  if Assigned(Scanner.FOnStatus) then
  try
    Scanner.FOnStatus(Scanner, Status, Detail);
  except
    { An exception must not unwind into the driver's thread. }
  end;
end;

procedure LoadBelvor(const Path: string);
var
  Names: array of string;
  Handle: {$IFDEF FPC}TLibHandle{$ELSE}HMODULE{$ENDIF};
  I: Integer;
  Tried: string;
begin
  if Assigned(InitDriver) then
    Exit;
  if Path <> '' then
    Names := [Path]
  else if GetEnvironmentVariable('BELVOR_LIBRARY') <> '' then
    Names := [GetEnvironmentVariable('BELVOR_LIBRARY')]
  else
    Names := [{$IFDEF MSWINDOWS}'Belvor.dll'{$ELSE}'libbelvor.so.1', 'libbelvor.so'{$ENDIF}];
  Handle := 0;
  Tried := '';
  for I := 0 to High(Names) do
  begin
    Handle := LoadLibrary({$IFDEF FPC}Names[I]{$ELSE}PChar(Names[I]){$ENDIF});
    if Handle <> 0 then
      Break;
    Tried := Tried + ' ' + Names[I];
  end;
  if Handle = 0 then
    raise EBelvorError.Create('Cannot load the Belvor library:' + Tried);
  @SetCodeProc := GetProcAddress(Handle, 'SetCodeProc');
  @DestroyDriver := GetProcAddress(Handle, 'DestroyDriver');
  @InitDriver := GetProcAddress(Handle, 'InitDriver');
  if not Assigned(InitDriver) or not Assigned(DestroyDriver) then
    raise EBelvorError.Create('Not a Belvor library: ' + Names[I]);
  @SetStatusProc := GetProcAddress(Handle, 'SetStatusProc');
  @GetDriverStats := GetProcAddress(Handle, 'GetDriverStats');
  if Assigned(SetStatusProc) then
    SetStatusProc(OnStatus, nil);
end;

{ The driver's threads. Without SetCodeProc a code cannot tell its driver: the newest gets it. }
procedure OnEvent(Code: PShortString); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
var
  Scanner: TBelvorScanner;
begin
  Scanner := nil;
  if ScannerCount > 0 then
    Scanner := Scanners[ScannerCount - 1];
  if (Code <> nil) and (Scanner <> nil) and Assigned(Scanner.FOnCode) then
  try
    Scanner.FOnCode(Scanner, RawByteString(Code^));
  except
    { An exception must not unwind into the driver's thread. }
  end;
end;

procedure OnCode(Driver: Int32; Data: PByte; Length: UInt32; Context: Pointer);
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
var
  Copy: RawByteString;
  Scanner: TBelvorScanner;
begin
  if (Driver < 0) or (Driver >= ScannerCount) then
    Exit;
  Scanner := Scanners[Driver];
  SetString(Copy, PAnsiChar(Data), Length);
  if Assigned(Scanner.FOnCode) then
  try
    Scanner.FOnCode(Scanner, Copy);
  except
    { An exception must not unwind into the driver's thread. }
  end;
end;

constructor TBelvorScanner.Create(Port: Integer; OnCode: TCodeEvent; const LibraryPath: string);
var
  Error, Slot, Created: Integer;
  E: EOSError;
begin
  inherited Create;
  LoadBelvor(LibraryPath);
  FPort := Port;
  FOnCode := OnCode;
  { Only when BelvorTagged has changed: SetCodeProc waits for callbacks under way, and a
    handler waiting on this thread (TThread.Synchronize) would wait for it in turn. }
  if Assigned(SetCodeProc) and (Ord(BelvorTagged) <> CodeProcTagged) then
  begin
    if BelvorTagged then
      SetCodeProc(Belvor.OnCode, nil)
    else
      SetCodeProc(nil, nil);
    CodeProcTagged := Ord(BelvorTagged);
  end;
  { In place, with the index the driver will have, before the driver exists: its first
    code may come before InitDriver returns. }
  Slot := ScannerCount;
  FIndex := Slot;
  if Slot <= High(Scanners) then
  begin
    Scanners[Slot] := Self;
    ScannerCount := Slot + 1;
  end;
  Error := 0;
  Created := InitDriver(Port, OnEvent);
  if Created < 0 then
    Error := LastSystemError
  else if Created <> Slot then
    { Drivers created behind this unit's back: codes would go to the wrong scanner. }
    DestroyDriver;
  if Created <> Slot then
  begin
    if Slot <= High(Scanners) then
    begin
      Scanners[Slot] := nil;
      ScannerCount := Slot;
    end;
    if Created >= 0 then
      raise EBelvorError.CreateFmt('Driver %d created, %d expected: the Belvor library has another user ' +
        'in this process', [Created, Slot]);
    E := EOSError.CreateFmt('COM%d: %s', [Port, SysErrorMessage(Error)]);
    E.ErrorCode := Error;
    raise E;
  end;
  FOpen := True;
end;

constructor TBelvorScanner.Create(Port: Integer; OnCode: TCodeEvent; OnStatus: TStatusEvent;
  const LibraryPath: string);
begin
  FOnStatus := OnStatus;
  Create(Port, OnCode, LibraryPath);
end;

function TBelvorScanner.Stats: TBelvorStats;
var
  Error: Integer;
  E: EOSError;
begin
  if not Assigned(GetDriverStats) then
    raise EBelvorError.Create('The Belvor library has no GetDriverStats: an older one');
  if not FOpen then
    raise EBelvorError.CreateFmt('COM%d is closed', [FPort]);
  Result := Default(TBelvorStats);
  Result.Size := SizeOf(Result);
  if GetDriverStats(FIndex, Result) < 0 then
  begin
    Error := LastSystemError;
    E := EOSError.CreateFmt('GetDriverStats: %s', [SysErrorMessage(Error)]);
    E.ErrorCode := Error;
    raise E;
  end;
end;

procedure TBelvorScanner.Close;
var
  Error: Integer;
begin
  if not FOpen then
    Exit;
  if Scanners[ScannerCount - 1] <> Self then
    raise EBelvorError.CreateFmt('COM%d (driver %d) is not the newest scanner: the driver destroys ' +
      'the newest one, COM%d; close that first', [FPort, FIndex, Scanners[ScannerCount - 1].Port]);
  if DestroyDriver < 0 then
  begin
    Error := LastSystemError;
    raise EBelvorError.CreateFmt('COM%d cannot be closed from inside a callback (%s)',
      [FPort, SysErrorMessage(Error)]);
  end;
  Dec(ScannerCount);
  Scanners[ScannerCount] := nil;
  FOpen := False;
end;

destructor TBelvorScanner.Destroy;
begin
  Close;
  inherited Destroy;
end;

end.
