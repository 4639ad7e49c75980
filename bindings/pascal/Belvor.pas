{ Belvor bar-code scanner driver for Delphi and Free Pascal: one unit, library loaded
  at run time. On Linux a Free Pascal program must name cthreads first in its uses,
  since the driver calls back on a thread of its own. See docs/hosts.md.

    Scanner := TBelvorScanner.Create(3, OnCode);   // COM3; EOSError if it cannot open
    ...
    Scanner.Free;                                   // newest first

  OnCode runs on the driver's thread: copy the code, hand it over, return. So does
  OnStatus (the line lost and back, codes cut or dropped), in order with the codes,
  and OnScan (TBelvorScanner.CreateForScans(3, OnScan)): each code with what it is, its
  symbology and a GS1 code's GTIN, expiry, batch, serial and fields. BelvorParseScan
  tells the same of a code got elsewhere. Scanner.Stats reads the driver's counters
  from any thread. }
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
  { TBelvorScan.Flags }
  BelvorScanIdentified = 1;     { a valid symbology identifier came first }
  BelvorScanGs1 = 2;            { Fields holds GS1 data (Errors may hold what is wrong) }
  BelvorScanDigitalLink = 4;    { read from a GS1 Digital Link URI }
  { TBelvorScan.Symbology: a ScanDataType number (docs/hosts.md), or this }
  BelvorScanUnknown = 0;
  { TBelvorGs1Error.Kind: what is wrong with a GS1 code; its fields stay }
  BelvorGs1UnknownAi = 1;
  BelvorGs1TooShort = 2;
  BelvorGs1TooLong = 3;  { a separator missing? }
  BelvorGs1BadCharacter = 4;
  BelvorGs1CheckDigit = 5;
  BelvorGs1BadDate = 6;
  BelvorGs1BadTime = 7;
  BelvorGs1BadCountry = 8;
  BelvorGs1BadCurrency = 9;
  BelvorGs1BadKey = 10;  { no GS1 Company Prefix }
  BelvorGs1BadValue = 11;
  BelvorGs1BadQualifier = 12;  { Digital Link: a path AI that does not qualify its key there }
  BelvorGs1NotAttribute = 13;  { Digital Link: a query AI that may not stand there }
  BelvorGs1BadUri = 14;  { Digital Link: a bad escape, or no key }

type
  { byte 0 the length n, then n characters: exactly a ShortString. }
  TEventProc = procedure(Code: PShortString); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TCodeProc = procedure(Driver: Int32; Data: PByte; Length: UInt32; Context: Pointer);
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

  TStatusProc = procedure(Driver, Status: Int32; Detail: UInt32; Context: Pointer);
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

  TBelvorGs1Field = record
    Ai: string;                 { '01', '17', '3103' }
    Value: RawByteString;
  end;

  TBelvorGs1Error = record
    Ai: string;                 { the field's AI, '' when none could be read }
    Kind: UInt32;               { BelvorGs1* }
    Position: UInt32;           { where in Text, from 0 }
  end;

  { One code and what it is: a copy, the library's buffers long gone. }
  TBelvorScan = record
    Driver: Integer;            { the scanner's index; -1 from BelvorParseScan }
    Data: RawByteString;        { as received, identifier and all }
    Text: RawByteString;        { the code without its identifier (its label) }
    Aim: string;                { the symbology identifier, ']d2'; '' when none }
    Symbology: UInt32;          { a ScanDataType number, BelvorScanUnknown when not known }
    Flags: UInt32;              { BelvorScan* }
    Fields: array of TBelvorGs1Field; { in the order scanned }
    Errors: array of TBelvorGs1Error; { the library never drops a field: the host decides }
    { The value of the first field with that AI; False when there is none. }
    function Field(const Ai: string; out Value: RawByteString): Boolean;
    { AIs 01, 10 and 21; '' when absent. }
    function Gtin: RawByteString;
    function Batch: RawByteString;
    function Serial: RawByteString;
    { AI 17 and 15 as dates; False when absent or no date. }
    function Expiry(out When: TDateTime): Boolean;
    function BestBefore(out When: TDateTime): Boolean;
  end;

  TBelvorScanner = class;
  { Runs on the driver's thread. Code is a copy. }
  TCodeEvent = procedure(Sender: TBelvorScanner; const Code: RawByteString) of object;
  { Runs on the driver's thread, in order with the codes. Status: one of BelvorStatus*
    (a later library may add others); Detail as said beside each. }
  TStatusEvent = procedure(Sender: TBelvorScanner; Status: Integer; Detail: UInt32) of object;
  { Runs on the driver's thread, after OnCode. Scan is a copy. }
  TScanEvent = procedure(Sender: TBelvorScanner; const Scan: TBelvorScan) of object;

  { BelvorStats: 152 bytes, the same offsets in 32- and 64-bit programs; a 1.1 library
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
    CodesUnidentified: UInt64; { [Code] SymbologyId=Aim, yet no valid identifier came first }
  end;

  EBelvorError = class(Exception);


  TBelvorScanner = class
  private
    FPort, FIndex: Integer;
    FOnCode: TCodeEvent;
    FOnStatus: TStatusEvent;
    FOnScan: TScanEvent;
    FOpen: Boolean;
    procedure SetOnScan(Value: TScanEvent);
  public
    { Creates the driver for COM<Port>; EOSError (ErrorCode: GetLastError or errno) when
      it cannot, EBelvorError (and no driver left) when something else in the process
      created drivers of the library. LibraryPath: '' for $BELVOR_LIBRARY or the usual name. }
    constructor Create(Port: Integer; OnCode: TCodeEvent; const LibraryPath: string = ''); overload;
    { The same, with OnStatus set before the driver exists. }
    constructor Create(Port: Integer; OnCode: TCodeEvent; OnStatus: TStatusEvent;
      const LibraryPath: string = ''); overload;
    { The same with OnScan instead of OnCode. The first scanner with an OnScan makes every
      code come through the library's scan callback, whatever BelvorTagged says; EBelvorError
      with an older library. }
    constructor CreateForScans(Port: Integer; OnScan: TScanEvent; OnStatus: TStatusEvent = nil;
      const LibraryPath: string = '');
    { The driver's counters now; EOSError when the driver refuses, EBelvorError when closed
      or with an older library. Callable from any thread, a callback's too. }
    function Stats: TBelvorStats;
    { Destroys the driver: EBelvorError, and nothing destroyed, unless it is the newest. }
    procedure Close;
    destructor Destroy; override;
    property Port: Integer read FPort;
    property Index: Integer read FIndex;
    property OnStatus: TStatusEvent read FOnStatus write FOnStatus;
    { Set from the host's thread: the first one waits for the callbacks under way. }
    property OnScan: TScanEvent read FOnScan write SetOnScan;
  end;

var
  { True: codes come through SetCodeProc, when the library has it, each to its own scanner.
    False: through the EventProc's counted string, all to the newest scanner. }
  BelvorTagged: Boolean = True;

{ Loads the library once (Path, else $BELVOR_LIBRARY, else Belvor.dll / libbelvor.so.1 /
  libbelvor.so); EBelvorError when it cannot. }
procedure LoadBelvor(const Path: string = '');

{ What a code got elsewhere (a keyboard wedge, a camera) is, as OnScan would tell it;
  Aim: it starts with its symbology identifier (']d2...'). Needs no scanner. EBelvorError
  for a code over 8192 bytes or an older library. }
function BelvorParseScan(const Code: RawByteString; Aim: Boolean = True;
  const LibraryPath: string = ''): TBelvorScan;

{ A GS1 date field's value (YYMMDD) as a date; False when it names no day. DD 00 is the
  month's last day; the century puts the year within 49 years before and 50 after that of
  Today (GS1's rule). }
function BelvorGs1Date(const YYMMDD: RawByteString; Today: TDateTime; out When: TDateTime): Boolean;

implementation

type
  TInitDriver = function(Port: UInt32; Callback: TEventProc): Int32; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TDestroyDriver = function: Int32; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TSetCodeProc = function(Proc: TCodeProc; Context: Pointer): Pointer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TSetStatusProc = function(Proc: TStatusProc; Context: Pointer): Pointer;
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TGetDriverStats = function(Driver: Int32; var Stats: TBelvorStats): Int32;
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

{ The C structs of belvor.h, laid out as a C compiler does (Delphi's default alignment). }
{$IFDEF FPC}{$PACKRECORDS C}{$ENDIF}
  PBelvorGs1FieldC = ^TBelvorGs1FieldC;
  TBelvorGs1FieldC = record
    Ai: array[0..7] of AnsiChar;
    Value: PAnsiChar;
    ValueLength: UInt32;
  end;
  PBelvorGs1ErrorC = ^TBelvorGs1ErrorC;
  TBelvorGs1ErrorC = record
    Ai: array[0..7] of AnsiChar;
    Kind, Position: UInt32;
  end;
  PBelvorScanC = ^TBelvorScanC;
  TBelvorScanC = record
    Size: UInt32;
    Driver: Int32;
    Data: PAnsiChar;
    DataLength, ScanType: UInt32;
    LabelData: PAnsiChar;
    LabelLength, Flags: UInt32;
    Aim: array[0..7] of AnsiChar;
    Fields: PBelvorGs1FieldC;
    FieldCount, ErrorCount: UInt32;
    Errors: PBelvorGs1ErrorC;
  end;
{$IFDEF FPC}{$PACKRECORDS DEFAULT}{$ENDIF}

  TScanProc = procedure(Scan: PBelvorScanC; Context: Pointer); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TSetScanProc = function(Proc: TScanProc; Context: Pointer): Pointer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
  TParseScan = function(Data: PAnsiChar; Length, Flags: UInt32; Proc: TScanProc; Context: Pointer): Int32;
    {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}

var
  InitDriver: TInitDriver;
  DestroyDriver: TDestroyDriver;
  SetCodeProc: TSetCodeProc;
  SetStatusProc: TSetStatusProc; { these two nil: an older library }
  GetDriverStats: TGetDriverStats;
  SetScanProc: TSetScanProc; { these two nil: an older library }
  ParseScan: TParseScan;
  ScanProcSet: Boolean;      { from then on every code comes through OnScanProc }
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
  @SetScanProc := GetProcAddress(Handle, 'SetScanProc');
  @ParseScan := GetProcAddress(Handle, 'ParseScan');
  if not Assigned(ParseScan) then
    SetScanProc := nil;
end;

function BelvorGs1Date(const YYMMDD: RawByteString; Today: TDateTime; out When: TDateTime): Boolean;
var
  I, Current, Year, Month, Day, Last: Integer;
  Y, M, D: Word;
begin
  Result := False;
  When := 0;
  if Length(YYMMDD) <> 6 then
    Exit;
  for I := 1 to 6 do
    if not (YYMMDD[I] in ['0'..'9']) then
      Exit;
  DecodeDate(Today, Y, M, D);
  Current := Y;
  Year := Current - Current mod 100 + (Ord(YYMMDD[1]) - Ord('0')) * 10 + Ord(YYMMDD[2]) - Ord('0');
  Month := (Ord(YYMMDD[3]) - Ord('0')) * 10 + Ord(YYMMDD[4]) - Ord('0');
  Day := (Ord(YYMMDD[5]) - Ord('0')) * 10 + Ord(YYMMDD[6]) - Ord('0');
  if Year - Current > 50 then
    Dec(Year, 100)
  else if Year - Current < -49 then
    Inc(Year, 100);
  if (Month < 1) or (Month > 12) then
    Exit;
  Last := MonthDays[IsLeapYear(Year), Month];
  if Day > Last then
    Exit;
  if Day = 0 then
    Day := Last;
  When := EncodeDate(Year, Month, Day);
  Result := True;
end;

function TBelvorScan.Field(const Ai: string; out Value: RawByteString): Boolean;
var
  I: Integer;
begin
  for I := 0 to High(Fields) do
    if Fields[I].Ai = Ai then
    begin
      Value := Fields[I].Value;
      Exit(True);
    end;
  Value := '';
  Result := False;
end;

function TBelvorScan.Gtin: RawByteString;
begin
  Field('01', Result);
end;

function TBelvorScan.Batch: RawByteString;
begin
  Field('10', Result);
end;

function TBelvorScan.Serial: RawByteString;
begin
  Field('21', Result);
end;

function TBelvorScan.Expiry(out When: TDateTime): Boolean;
var
  Value: RawByteString;
begin
  When := 0;
  Result := Field('17', Value) and BelvorGs1Date(Value, Date, When);
end;

function TBelvorScan.BestBefore(out When: TDateTime): Boolean;
var
  Value: RawByteString;
begin
  When := 0;
  Result := Field('15', Value) and BelvorGs1Date(Value, Date, When);
end;

{ Everything the BelvorScan points to, copied: it lasts only the library's call. }
procedure CopyScan(const Source: TBelvorScanC; out Scan: TBelvorScan);
var
  I: Integer;
  Field: PBelvorGs1FieldC;
  Error: PBelvorGs1ErrorC;
begin
  Scan.Driver := Source.Driver;
  SetString(Scan.Data, Source.Data, Source.DataLength);
  SetString(Scan.Text, Source.LabelData, Source.LabelLength);
  Scan.Aim := string(PAnsiChar(@Source.Aim[0]));
  Scan.Symbology := Source.ScanType;
  Scan.Flags := Source.Flags;
  SetLength(Scan.Fields, Source.FieldCount);
  Field := Source.Fields;
  for I := 0 to High(Scan.Fields) do
  begin
    Scan.Fields[I].Ai := string(PAnsiChar(@Field^.Ai[0]));
    SetString(Scan.Fields[I].Value, Field^.Value, Field^.ValueLength);
    Inc(Field);
  end;
  SetLength(Scan.Errors, Source.ErrorCount);
  Error := Source.Errors;
  for I := 0 to High(Scan.Errors) do
  begin
    Scan.Errors[I].Ai := string(PAnsiChar(@Error^.Ai[0]));
    Scan.Errors[I].Kind := Error^.Kind;
    Scan.Errors[I].Position := Error^.Position;
    Inc(Error);
  end;
end;

type
  TParsed = record
    Scan: TBelvorScan;
    Done: Boolean;
  end;
  PParsed = ^TParsed;

{ ParseScan's callback, on the caller's thread before ParseScan returns. }
procedure OnParsed(Scan: PBelvorScanC; Context: Pointer); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
begin
  try
    CopyScan(Scan^, PParsed(Context)^.Scan);
    PParsed(Context)^.Done := True;
  except
    { Not into the library's frames: BelvorParseScan says it. }
  end;
end;

function BelvorParseScan(const Code: RawByteString; Aim: Boolean; const LibraryPath: string): TBelvorScan;
var
  Parsed: TParsed;
begin
  LoadBelvor(LibraryPath);
  if not Assigned(ParseScan) then
    raise EBelvorError.Create('The Belvor library has no ParseScan: an older one');
  Parsed.Done := False;
  if ParseScan(PAnsiChar(Code), Length(Code), Ord(Aim), OnParsed, @Parsed) < 0 then
    raise EBelvorError.CreateFmt('ParseScan refused a code of %d bytes', [Length(Code)]);
  if not Parsed.Done then
    raise EBelvorError.Create('ParseScan returned without the scan');
  Result := Parsed.Scan;
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

{ Every code once a scanner has an OnScan: its bytes to OnCode, what it is to OnScan. }
procedure OnScanProc(Scan: PBelvorScanC; Context: Pointer); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF}
var
  Scanned: TBelvorScan;
  Code: RawByteString;
  Scanner: TBelvorScanner;
  Handler: TScanEvent;
begin
  if (Scan = nil) or (Scan^.Driver < 0) or (Scan^.Driver >= ScannerCount) then
    Exit;
  Scanner := Scanners[Scan^.Driver];
  Handler := Scanner.FOnScan;
  try
    { Copied before either handler runs: the library's buffers last only this call. }
    if Assigned(Handler) then
      CopyScan(Scan^, Scanned);
    SetString(Code, Scan^.Data, Scan^.DataLength);
  except
    Exit; { An exception must not unwind into the driver's thread. }
  end;
  if Assigned(Scanner.FOnCode) then
  try
    Scanner.FOnCode(Scanner, Code);
  except
  end;
  if Assigned(Handler) then
  try
    Handler(Scanner, Scanned);
  except
  end;
end;

{ Once, and kept: each swap waits for the callbacks under way. }
procedure UseScanProc;
begin
  if ScanProcSet then
    Exit;
  if not Assigned(SetScanProc) then
    raise EBelvorError.Create('The Belvor library has no SetScanProc: an older one');
  SetScanProc(OnScanProc, nil);
  ScanProcSet := True;
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
  if Assigned(FOnScan) then
    UseScanProc;
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

constructor TBelvorScanner.CreateForScans(Port: Integer; OnScan: TScanEvent; OnStatus: TStatusEvent;
  const LibraryPath: string);
begin
  FOnScan := OnScan;
  Create(Port, nil, OnStatus, LibraryPath);
end;

procedure TBelvorScanner.SetOnScan(Value: TScanEvent);
begin
  if Assigned(Value) then
    UseScanProc;
  FOnScan := Value;
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
