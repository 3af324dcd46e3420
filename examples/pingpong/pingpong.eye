<?xml version='1.0' encoding='utf-8'?>
	<ModelInfo>
		<ModelName>pingpong</ModelName>
		<Agents>
			<Agent name='court_ping'>
				<state name='serving'>
					<mesh scale='1.000000'>bat.obj</mesh>
					<pos x='-30.000000' y='0.000000' z='0.000000' />
					<rot x='0.000000' y='0.700000' z='0.000000' />
				</state>
				<state name='done'>
					<mesh scale='0.500000'>bat.obj</mesh>
					<pos x='-30.000000' y='0.000000' z='20.000000' />
					<rot x='0.000000' y='1.570796' z='0.000000' />
				</state>
			</Agent>
			<Agent name='court_pong'>
				<state name='waiting'>
					<mesh scale='1.000000'>bat.obj</mesh>
					<pos x='30.000000' y='0.000000' z='0.000000' />
					<rot x='0.000000' y='-0.700000' z='0.000000' />
				</state>
				<state name='finished'>
					<mesh scale='0.500000'>bat.obj</mesh>
					<pos x='30.000000' y='0.000000' z='20.000000' />
					<rot x='0.000000' y='1.570796' z='0.000000' />
				</state>
			</Agent>
		</Agents>
	</ModelInfo>
